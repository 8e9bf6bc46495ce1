#include "sector_expression.h"

#include <cctype>
#include <limits>
#include <stdexcept>

namespace vhandset {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
constexpr unsigned max_depth = 32;  // parentheses nesting; keeps hostile input off the stack

class parser {
public:
    parser(const std::string& text, const expression_context& ctx) : s_(text), ctx_(ctx) {}

    std::uint64_t run()
    {
        const std::uint64_t v = expr(0);
        skip_space();
        if (pos_ != s_.size())
            fail("unexpected '" + std::string(1, s_[pos_]) + "'");
        return v;
    }

private:
    [[noreturn]] void fail(const std::string& why) const
    {
        throw std::invalid_argument("bad expression '" + s_ + "': " + why);
    }

    void skip_space()
    {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_])))
            ++pos_;
    }

    bool accept(char c)
    {
        skip_space();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    void expect(char c)
    {
        if (!accept(c))
            fail(std::string("expected '") + c + "'");
    }

    bool accept_word(const char* w)
    {
        skip_space();
        const std::string word(w);
        if (s_.compare(pos_, word.size(), word) != 0)
            return false;
        const std::size_t end = pos_ + word.size();
        if (end < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[end])) || s_[end] == '_'))
            return false;
        pos_ = end;
        return true;
    }

    std::uint64_t expr(unsigned depth)
    {
        std::uint64_t v = term(depth);
        for (;;) {
            if (accept('+')) {
                const std::uint64_t r = term(depth);
                if (r > u64_max - v)
                    fail("result too large");
                v += r;
            } else if (accept('-')) {
                const std::uint64_t r = term(depth);
                if (r > v)
                    fail("result below zero");
                v -= r;
            } else {
                return v;
            }
        }
    }

    std::uint64_t term(unsigned depth)
    {
        std::uint64_t v = factor(depth);
        for (;;) {
            if (accept('*')) {
                const std::uint64_t r = factor(depth);
                if (r != 0 && v > u64_max / r)
                    fail("result too large");
                v *= r;
            } else if (accept('/')) {
                const std::uint64_t r = factor(depth);
                if (r == 0)
                    fail("division by zero");
                v /= r;
            } else {
                return v;
            }
        }
    }

    std::uint64_t factor(unsigned depth)
    {
        if (depth > max_depth)
            fail("nested too deeply");
        std::uint64_t v = 0;
        if (accept('(')) {
            v = expr(depth + 1);
            expect(')');
        } else if (accept_word("NUM_DISK_SECTORS")) {
            v = ctx_.num_disk_sectors;
        } else if (accept_word("CRC32")) {
            if (!ctx_.crc32)
                fail("CRC32 not allowed here");
            expect('(');
            const std::uint64_t sector = expr(depth + 1);
            expect(',');
            const std::uint64_t len = expr(depth + 1);
            expect(')');
            v = ctx_.crc32(sector, len);
        } else {
            v = number();
        }
        accept('.');
        return v;
    }

    std::uint64_t number()
    {
        skip_space();
        const std::size_t start = pos_;
        unsigned base = 10;
        if (pos_ + 1 < s_.size() && s_[pos_] == '0' && (s_[pos_ + 1] == 'x' || s_[pos_ + 1] == 'X')) {
            base = 16;
            pos_ += 2;
        }
        const std::size_t digits = pos_;
        std::uint64_t v = 0;
        while (pos_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            unsigned d = 0;
            if (std::isdigit(c))
                d = c - '0';
            else if (base == 16 && std::isxdigit(c))
                d = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
            else
                break;
            if (v > (u64_max - d) / base)
                fail("number too large");
            v = v * base + d;
            ++pos_;
        }
        if (pos_ == digits) {
            pos_ = start;
            fail(pos_ < s_.size() ? "unexpected '" + std::string(1, s_[pos_]) + "'" : "missing number");
        }
        return v;
    }

    const std::string& s_;
    const expression_context& ctx_;
    std::size_t pos_ = 0;
};

} // namespace

std::uint64_t evaluate_expression(const std::string& text, const expression_context& ctx)
{
    return parser(text, ctx).run();
}

} // namespace vhandset
