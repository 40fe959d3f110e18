// Inside the messages layer: reading content that stays in its file, and
// the progress of the long work that does it. Not exported.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cert/signeddata.h"

namespace cert::messages {

// Hands the byte ranges of a file, in order and in pieces of at most 1 MiB,
// to `sink`; memory stays small whatever their size. Throws XTOOStatus with
// the file's name: the mapped error of an open or read, 5 when the file
// ends before a range does, 28 for ranges out of order.
void ReadFileRanges(const std::string& path, const std::vector<ByteRange>& ranges,
                    const std::function<void(const std::uint8_t*, std::size_t)>& sink);

// While one lives, the bytes ReadFileRanges reads on this thread count
// towards `total` and go to the callback set with CTFSetSignProgress.
// Nested scopes leave the outer one in charge.
class ProgressScope {
public:
    explicit ProgressScope(std::uint64_t total);
    ~ProgressScope();
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

private:
    bool m_owner;
};

}  // namespace cert::messages
