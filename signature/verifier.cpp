#include "verifier.h"

#include "codec.h"
#include "file.h"

#include <cerrno>
#include <cstring>
#include <optional>

namespace signature {

namespace {

using namespace detail;

// The comment as a terminal may show it: no control characters (C0, DEL, or
// C1 written in UTF-8) that could move the cursor or rewrite earlier lines.
std::string printable(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        if (c == '\t')
            out += ' ';
        else if (c < 0x20 || c == 0x7f)
            out += '?';
        else if (c1) {
            out += '?';
            ++i;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

bool signature_holds(const std::array<std::uint8_t, 64>& sig, const std::uint8_t* message, std::size_t size,
                     const public_key& key)
{
    return crypto_sign_verify_detached(sig.data(), message, size, key.key.data()) == 0;
}

bool comment_holds(const minisig& sig, const public_key& key)
{
    std::string signed_text(sig.file_signature.begin(), sig.file_signature.end());
    signed_text += sig.trusted_comment;
    return signature_holds(sig.comment_signature, reinterpret_cast<const std::uint8_t*>(signed_text.data()),
                           signed_text.size(), key);
}

} // namespace

struct verifier::pending {
    minisig sig;
    std::vector<public_key> candidates;
    blake2b_512 hash;
    std::optional<file_mapping> mapping;  // the legacy form only
    std::uint64_t fed = 0;
    bool differs = false;
};

std::string outcome::text() const
{
    switch (state) {
    case state::signed_by_trusted_key:
        return "signed by " + signer + " (" + trusted_comment + ")";
    case state::not_signed:
        return "not signed";
    case state::no_trusted_keys:
        return "not checked for a signer (no trusted key configured)";
    case state::untrusted_key:
        return error_text("signed by an untrusted key " + signer, signature_path);
    case state::bad_signature:
    case state::malformed_signature:
        return reason;
    }
    return reason;
}

bool outcome::failed() const
{
    return state == state::bad_signature || state == state::untrusted_key || state == state::malformed_signature;
}

verifier::verifier(const trusted_keys& keys, const std::string& package_path, const std::string& signature_path)
{
    ensure_sodium();
    decided_.signature_path = signature_path.empty() ? package_path + ".minisig" : signature_path;
    const std::string& path = decided_.signature_path;
    if (keys.empty()) {
        decided_.state = state::no_trusted_keys;
        return;
    }
    minisig sig;
    try {
        sig = parse_minisig(read_small_file(path, max_minisig_bytes + 1), path);
    } catch (const read_error& e) {
        if (e.error == ENOENT || e.error == ENOTDIR) {
            decided_.state = state::not_signed;
            return;
        }
        decided_.state = state::malformed_signature;
        decided_.reason = e.what();
        return;
    } catch (const format_error& e) {
        decided_.state = state::malformed_signature;
        decided_.reason = e.what();
        return;
    }
    decided_.signer = sig.signer.text();
    auto p = std::make_unique<pending>();
    for (const public_key* k : keys.with_id(sig.signer))
        p->candidates.push_back(*k);
    if (p->candidates.empty()) {
        decided_.state = state::untrusted_key;
        return;
    }
    if (sig.form == algorithm::legacy) {
        try {
            p->mapping.emplace(package_path);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(
                error_text(std::string("cannot map the package for its legacy signature: ") + e.what(), package_path));
        }
    }
    p->sig = std::move(sig);
    pending_ = std::move(p);
}

verifier::~verifier() = default;

void verifier::update(const std::uint8_t* data, std::size_t size)
{
    if (!pending_)
        return;
    pending& p = *pending_;
    if (!p.mapping) {
        p.hash.update(data, size);
    } else if (!p.differs) {
        p.differs = p.fed + size > p.mapping->size() || std::memcmp(p.mapping->data() + p.fed, data, size) != 0;
    }
    p.fed += size;
}

outcome verifier::finish()
{
    if (!pending_)
        return decided_;
    const std::unique_ptr<pending> p = std::move(pending_);
    outcome result = decided_;
    result.state = state::bad_signature;
    std::uint8_t digest[blake2b_512::size];
    const std::uint8_t* message = digest;
    std::size_t message_size = sizeof digest;
    if (p->mapping) {
        if (p->differs || p->fed != p->mapping->size()) {
            result.reason = error_text("the package changed while it was checked", result.signature_path);
            return result;
        }
        message = p->mapping->data();
        message_size = p->mapping->size();
    } else {
        p->hash.final(digest);
    }
    bool package_held = false;
    for (const public_key& key : p->candidates) {
        if (!signature_holds(p->sig.file_signature, message, message_size, key))
            continue;
        package_held = true;
        if (comment_holds(p->sig, key)) {
            result.state = state::signed_by_trusted_key;
            result.trusted_comment = printable(p->sig.trusted_comment);
            return result;
        }
    }
    result.reason = error_text(package_held ? "the trusted comment does not match its signature"
                                            : "the package does not match its signature",
                               result.signature_path);
    return result;
}

outcome check_file(const trusted_keys& keys, const std::string& package_path)
{
    verifier v(keys, package_path);
    if (v.needs_bytes())
        for_each_piece(package_path, [&](const std::uint8_t* data, std::size_t size) { v.update(data, size); });
    return v.finish();
}

} // namespace signature
