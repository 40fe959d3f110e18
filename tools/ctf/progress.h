// A progress bar on standard error, drawn only when that is a terminal and
// the work is long enough to be worth one; erased when it goes.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace ctf {

class Progress {
public:
    enum class Unit { Items, Bytes };
    // `worth`: the smallest total that gets a bar.
    Progress(std::string what, std::uint64_t total, std::uint64_t worth, Unit unit = Unit::Items)
        : what_(std::move(what)), total_(total), worth_(worth), unit_(unit), tty_(isatty(STDERR_FILENO) != 0) {}
    ~Progress() {
        if (drawn_) std::fprintf(stderr, "\r%*s\r", 72, "");
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Step() { Show(done_ + 1, total_); }
    // Redrawn when the bar or the figure shown changes, not at every call.
    void Show(std::uint64_t done, std::uint64_t total) {
        done_ = done;
        total_ = total;
        if (!tty_ || total_ < worth_) return;
        const std::uint64_t shown = unit_ == Unit::Bytes ? done_ >> 20 : done_;
        const std::size_t filled = total_ ? std::size_t(kWidth * std::min(done_, total_) / total_) : kWidth;
        const bool changed = !drawn_ || filled != filled_ || done_ == total_ ||
                             (unit_ == Unit::Bytes ? shown != shown_ : done_ % kEveryItems == 0);
        if (!changed) return;
        if (unit_ == Unit::Bytes)
            std::fprintf(stderr, "\r%s [%s%s] %llu/%llu MiB", what_.c_str(), std::string(filled, '#').c_str(),
                         std::string(kWidth - filled, ' ').c_str(), static_cast<unsigned long long>(shown),
                         static_cast<unsigned long long>(total_ >> 20));
        else
            std::fprintf(stderr, "\r%s [%s%s] %llu/%llu", what_.c_str(), std::string(filled, '#').c_str(),
                         std::string(kWidth - filled, ' ').c_str(), static_cast<unsigned long long>(shown),
                         static_cast<unsigned long long>(total_));
        std::fflush(stderr);
        drawn_ = true;
        filled_ = filled;
        shown_ = shown;
    }

private:
    static constexpr std::size_t kWidth = 30;
    static constexpr std::uint64_t kEveryItems = 50;
    std::string what_;
    std::uint64_t total_, worth_, done_ = 0, shown_ = 0;
    Unit unit_;
    bool tty_, drawn_ = false;
    std::size_t filled_ = 0;
};

}  // namespace ctf
