#include "messages/file_ranges.h"

#include <algorithm>
#include <memory>

#include "platform/files.h"

namespace cert::messages {

namespace {

constexpr std::size_t kPiece = 1u << 20;

struct Progress {
    CTFProgressCallback callback = nullptr;
    void* context = nullptr;
    bool active = false;
    std::uint64_t done = 0, total = 0;
};
thread_local Progress t_progress;

void Advance(std::size_t n) {
    Progress& p = t_progress;
    if (!p.active || !p.callback) return;
    p.done += n;
    p.callback(std::min(p.done, p.total), p.total, p.context);
}

}  // namespace

ProgressScope::ProgressScope(std::uint64_t total) : m_owner(!t_progress.active) {
    if (!m_owner) return;
    t_progress.active = true;
    t_progress.done = 0;
    t_progress.total = total;
}

ProgressScope::~ProgressScope() {
    if (m_owner) t_progress.active = false;
}

void ReadFileRanges(const std::string& path, const std::vector<ByteRange>& ranges,
                    const std::function<void(const std::uint8_t*, std::size_t)>& sink) {
    if (ranges.empty()) return;
    cert::platform::FileReader file;
    if (const DWORD e = file.Open(path)) throw XTOOStatus(WinErr2ToolsErr(e), path.c_str());
    auto buf = std::make_unique<std::uint8_t[]>(kPiece);
    std::uint64_t pos = 0;
    for (const auto& r : ranges) {
        if (r.offset < pos) throw XTOOStatus(TOOERR_BADARG, path.c_str());
        for (const std::uint64_t end = r.offset + r.length; pos < end;) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(end - pos, kPiece));
            std::size_t got = 0;
            if (const DWORD e = file.Read(buf.get(), want, got)) throw XTOOStatus(WinErr2ToolsErr(e), path.c_str());
            if (got == 0) throw XTOOStatus(TOOERR_READ, path.c_str());
            const std::uint64_t from = std::max(pos, r.offset);
            if (pos + got > from) {
                sink(buf.get() + (from - pos), static_cast<std::size_t>(pos + got - from));
                Advance(static_cast<std::size_t>(pos + got - from));
            }
            pos += got;
        }
    }
}

}  // namespace cert::messages

void CTFSetSignProgress(CTFProgressCallback callback, void* context) {
    cert::messages::t_progress.callback = callback;
    cert::messages::t_progress.context = context;
}
