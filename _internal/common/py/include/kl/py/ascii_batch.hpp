// Computed ASCII written straight into a StrWriter's ASCII buffer and handed
// over as one piece only when a piece of another kind comes (and by a last
// flush() when the writing is done): a template's
// short fixed runs, digits and separators between two host strs then cost a
// few byte copies instead of a piece each.
#pragma once

#include <string>
#include <string_view>

#include "kl/py/str.hpp"
#include "kl/text.hpp"

namespace kl::py {

class AsciiBatch {
public:
    explicit AsciiBatch(StrWriter& out) : out_(out), buf_(out.ascii_buffer()), from_(buf_.size()) {}
    AsciiBatch(const AsciiBatch&) = delete;
    AsciiBatch& operator=(const AsciiBatch&) = delete;

    // The buffer, for text appended to the batch.
    std::pmr::string& buffer() noexcept { return buf_; }
    void ascii(std::string_view s) { buf_.append(s); }
    void integer(long long v) { append_int(buf_, v); }
    // A template's fixed run: short ASCII joins the batch, any other is
    // referenced where it lies.
    void literal(const AnyText& t) {
        if (t.ascii && t.size <= StrWriter::kCopyAsciiUpTo) {
            buf_.append(t.ascii_view());
        } else {
            flush();
            out_.fixed(t);
        }
    }
    // Ends the batch: what was appended becomes one piece.  Call before any
    // piece of another kind is added to the writer, and before text that
    // is not part of the batch is written to the buffer.
    void flush() {
        out_.ascii_grown(from_);
        from_ = buf_.size();
    }
    // Starts the batch afresh after text that was written to the buffer
    // outside it (kept by the writer as pieces of their own); nothing may
    // be pending.
    void resume() noexcept { from_ = buf_.size(); }

private:
    StrWriter& out_;
    std::pmr::string& buf_;
    std::size_t from_;
};

}  // namespace kl::py
