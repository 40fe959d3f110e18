#include "messages/file_ranges.h"

#include <algorithm>
#include <future>
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

namespace {

// The ranges of a file read piece by piece, in order. A piece of the file
// may lie partly or wholly outside the ranges (the gaps are read, not
// sought past); `skip` and `size` say which of its bytes are in them.
class RangeCursor {
public:
    struct Piece {
        std::size_t skip = 0, size = 0;
        bool end = false;
    };

    RangeCursor(const std::string& path, const std::vector<ByteRange>& ranges) : m_path(path), m_ranges(ranges) {
        if (const DWORD e = m_file.Open(path)) throw XTOOStatus(WinErr2ToolsErr(e), path.c_str());
    }

    Piece Next(std::uint8_t* buf) {
        while (m_at < m_ranges.size() && m_pos >= m_ranges[m_at].offset + m_ranges[m_at].length) {
            ++m_at;
            if (m_at < m_ranges.size() && m_ranges[m_at].offset < m_pos)
                throw XTOOStatus(TOOERR_BADARG, m_path.c_str());
        }
        if (m_at == m_ranges.size()) return {0, 0, true};
        const ByteRange& r = m_ranges[m_at];
        const std::uint64_t end = r.offset + r.length;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(end - m_pos, kPiece));
        std::size_t got = 0;
        if (const DWORD e = m_file.Read(buf, want, got)) throw XTOOStatus(WinErr2ToolsErr(e), m_path.c_str());
        if (got == 0) throw XTOOStatus(TOOERR_READ, m_path.c_str());
        const std::uint64_t from = std::max(m_pos, r.offset);
        Piece p;
        if (m_pos + got > from) {
            p.skip = static_cast<std::size_t>(from - m_pos);
            p.size = static_cast<std::size_t>(m_pos + got - from);
        }
        m_pos += got;
        return p;
    }

private:
    std::string m_path;
    const std::vector<ByteRange>& m_ranges;
    cert::platform::FileReader m_file;
    std::size_t m_at = 0;
    std::uint64_t m_pos = 0;
};

}  // namespace

void ReadFileRanges(const std::string& path, const std::vector<ByteRange>& ranges,
                    const std::function<void(const std::uint8_t*, std::size_t)>& sink) {
    if (ranges.empty()) return;
    RangeCursor cursor(path, ranges);
    auto one = std::make_unique<std::uint8_t[]>(kPiece), two = std::make_unique<std::uint8_t[]>(kPiece);
    std::uint8_t* const buf[2] = {one.get(), two.get()};
    std::uint64_t total = 0;
    for (const ByteRange& r : ranges) total += r.length;
    if (total <= 2 * kPiece) {
        for (RangeCursor::Piece p; !(p = cursor.Next(buf[0])).end;) {
            if (!p.size) continue;
            sink(buf[0] + p.skip, p.size);
            Advance(p.size);
        }
        return;
    }
    // Long content: the next piece is read on another thread while this one
    // goes to the sink, so that the copy out of the page cache is not on the
    // hash's path. One read at a time, each after the last, so the cursor
    // is never shared. Without a thread to be had the read is deferred.
    constexpr auto kPolicy = std::launch::async | std::launch::deferred;
    std::future<RangeCursor::Piece> next = std::async(kPolicy, [&] { return cursor.Next(buf[0]); });
    for (int k = 0;; k ^= 1) {
        const RangeCursor::Piece p = next.get();
        if (p.end) break;
        next = std::async(kPolicy, [&cursor, into = buf[k ^ 1]] { return cursor.Next(into); });
        if (!p.size) continue;
        sink(buf[k] + p.skip, p.size);
        Advance(p.size);
    }
}

}  // namespace cert::messages

void CTFSetSignProgress(CTFProgressCallback callback, void* context) {
    cert::messages::t_progress.callback = callback;
    cert::messages::t_progress.context = context;
}
