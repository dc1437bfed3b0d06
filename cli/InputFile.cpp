// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/InputFile.h"

#include <unistd.h>  // read(): the C runtime has it on Windows too

#include <array>
#include <cerrno>
#include <string_view>

#include "run/InputCheck.h"

namespace kestrane::cli {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

class LineReader {
  public:
    explicit LineReader(int nonBlankLimit) : limit_(nonBlankLimit) {}

    bool Done() const { return done_; }
    std::vector<std::string>& Lines() { return lines_; }

    void Feed(std::string_view bytes) {
        for (const char c : bytes) {
            if (done_)
                return;
            if (c == '\n') {
                EndLine();
            } else if (line_.size() < Room()) {
                line_ += c;
            } else if (!judged_) {
                // The rest of the line is never looked at; what is kept may already be refused.
                judged_ = true;
                Judge(Kept());
                if (done_)
                    EndLine();
            }
        }
    }
    void Finish() {
        if (!done_ && !line_.empty())
            EndLine();
    }

  private:
    // The first line may carry the mark on top of its usual length.
    std::size_t Room() const {
        return kMaxLineLength + (lines_.empty() ? kByteOrderMark.size() : 0);
    }
    std::string Kept() const {
        std::string_view kept = line_;
        if (lines_.empty() && kept.starts_with(kByteOrderMark))
            kept.remove_prefix(kByteOrderMark.size());
        kept = kept.substr(0, kMaxLineLength);
        return std::string(kept.substr(0, kept.find('#')));
    }
    void Judge(const std::string& kept) {
        const std::string number = TrimRight(kept);
        if (HoldsControlCharacter(number) || (!number.empty() && nonBlank_ + 1 >= limit_))
            done_ = true;
    }
    void EndLine() {
        std::string kept = Kept();
        if (!judged_)
            Judge(kept);
        if (!TrimRight(kept).empty())
            ++nonBlank_;
        lines_.push_back(std::move(kept));
        line_.clear();
        judged_ = false;
    }

    const int limit_;
    std::vector<std::string> lines_;
    std::string line_;  // the line being read, at most Room() bytes
    int nonBlank_ = 0;
    bool judged_ = false;  // the kept part of the current line has been judged
    bool done_ = false;
};

}  // namespace

InputLines ReadInputLines(int fd, int nonBlankLimit) {
    InputLines result;
    if (nonBlankLimit <= 0)
        return result;
    LineReader reader(nonBlankLimit);
    std::array<char, 65536> buffer{};
    while (!reader.Done()) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            result.readFailed = true;
        if (got <= 0)
            break;
        reader.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
    reader.Finish();
    result.lines = std::move(reader.Lines());
    return result;
}

}  // namespace kestrane::cli
