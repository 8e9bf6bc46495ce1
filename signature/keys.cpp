#include "keys.h"

#include "codec.h"
#include "hex.h"

#include <cstring>

namespace signature {

namespace {

using namespace detail;

constexpr std::string_view comment_prefix = "untrusted comment: ";
constexpr std::size_t max_key_file_bytes = 4096;

constexpr std::size_t public_key_bytes = 2 + 8 + 32;

// The secret key file's fields, in order.
constexpr std::size_t salt_bytes = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr std::size_t checksum_bytes = 32;
constexpr std::size_t keynum_bytes = 8 + 64 + checksum_bytes;  // key id, key, checksum: what scrypt hides
constexpr std::size_t secret_key_bytes = 2 + 2 + 2 + salt_bytes + 8 + 8 + keynum_bytes;
constexpr std::size_t salt_at = 6;
constexpr std::size_t opslimit_at = salt_at + salt_bytes;
constexpr std::size_t memlimit_at = opslimit_at + 8;
constexpr std::size_t keynum_at = memlimit_at + 8;

std::uint64_t load_le64(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void store_le64(std::uint8_t* p, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i, v >>= 8)
        p[i] = static_cast<std::uint8_t>(v);
}

// Wipes a fixed-size secret when it goes out of scope.
template <std::size_t N>
struct wiped_bytes {
    std::uint8_t data[N]{};
    ~wiped_bytes() { sodium_memzero(data, N); }
};

struct wiped_string {
    std::string text;
    ~wiped_string() { sodium_memzero(text.data(), text.size()); }
};

// The comment line (when present) and the one base64 line of a key file.
struct key_file_lines {
    std::string comment;
    std::string_view data;
};

key_file_lines split_key_file(std::string_view text, const std::string& what, const std::string& context)
{
    if (text.size() >= max_key_file_bytes)
        throw format_error(error_text(what + ": larger than " + std::to_string(max_key_file_bytes) + " bytes", context));
    key_file_lines out;
    bool have_data = false;
    for (std::string_view line : text_lines(text)) {
        if (line.empty())
            continue;
        if (!have_data && out.comment.empty() && line.substr(0, comment_prefix.size()) == comment_prefix) {
            out.comment = line.substr(comment_prefix.size());
            continue;
        }
        if (have_data)
            throw format_error(error_text(what + ": more than one key line", context));
        out.data = line;
        have_data = true;
    }
    if (!have_data)
        throw format_error(error_text(what + ": no key line", context));
    return out;
}

std::array<std::uint8_t, 32> checksum_of(const key_id& id, const std::uint8_t* key)
{
    std::uint8_t input[2 + 8 + 64];
    std::memcpy(input, "Ed", 2);
    std::memcpy(input + 2, id.bytes.data(), 8);
    std::memcpy(input + 10, key, 64);
    std::array<std::uint8_t, 32> sum{};
    crypto_generichash(sum.data(), sum.size(), input, sizeof input, nullptr, 0);
    sodium_memzero(input, sizeof input);
    return sum;
}

// XORs the key id, key and checksum with the stream scrypt derives from the password.
void apply_password(std::uint8_t* keynum, const std::string& password, const std::uint8_t* salt,
                    std::uint64_t opslimit, std::uint64_t memlimit, const std::string& context)
{
    wiped_bytes<keynum_bytes> stream;
    if (crypto_pwhash_scryptsalsa208sha256(stream.data, keynum_bytes, password.data(), password.size(), salt,
                                           opslimit, static_cast<std::size_t>(memlimit)) != 0)
        throw std::runtime_error(error_text("cannot derive the key from the password (out of memory?)", context));
    for (std::size_t i = 0; i < keynum_bytes; ++i)
        keynum[i] ^= stream.data[i];
}

std::string read_key_file(const std::string& path)
{
    return read_small_file(path, max_key_file_bytes);
}

} // namespace

std::string key_id::text() const
{
    std::uint8_t reversed[8];
    for (std::size_t i = 0; i < 8; ++i)
        reversed[i] = bytes[7 - i];
    char out[17];
    hex_encode(reversed, sizeof reversed, nullptr, out, false);
    // minisign prints the number without leading zeros; so do we, so the id
    // reads the same as in the key file's comment.
    const std::string digits = out;
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? "0" : digits.substr(first);
}

public_key parse_public_key(std::string_view text, const std::string& context)
{
    const std::string what = "not a minisign public key";
    const key_file_lines lines = split_key_file(text, what, context);
    std::uint8_t raw[public_key_bytes];
    if (!from_base64(lines.data, raw, sizeof raw))
        throw format_error(error_text(what + ": the key line is not base64 of " + std::to_string(public_key_bytes) +
                                          " bytes",
                                      context));
    if (std::memcmp(raw, "Ed", 2) != 0)
        throw format_error(error_text(what + ": unknown key algorithm", context));
    public_key key;
    std::memcpy(key.id.bytes.data(), raw + 2, 8);
    std::memcpy(key.key.data(), raw + 10, 32);
    key.comment = lines.comment;
    return key;
}

public_key read_public_key(const std::string& path) { return parse_public_key(read_key_file(path), path); }

std::string format_public_key(const public_key& key)
{
    std::uint8_t raw[public_key_bytes];
    std::memcpy(raw, "Ed", 2);
    std::memcpy(raw + 2, key.id.bytes.data(), 8);
    std::memcpy(raw + 10, key.key.data(), 32);
    return std::string(comment_prefix) + "minisign public key " + key.id.text() + "\n" + to_base64(raw, sizeof raw) +
           "\n";
}

secret_key::secret_key(const key_id& id, const std::array<std::uint8_t, 64>& key) : id_(id), key_(key) {}

secret_key::secret_key(secret_key&& other) noexcept : id_(other.id_), key_(other.key_)
{
    sodium_memzero(other.key_.data(), other.key_.size());
}

secret_key::~secret_key() { sodium_memzero(key_.data(), key_.size()); }

public_key secret_key::public_part() const
{
    public_key pk;
    pk.id = id_;
    crypto_sign_ed25519_sk_to_pk(pk.key.data(), key_.data());
    pk.comment = "minisign public key " + id_.text();
    return pk;
}

secret_key parse_secret_key(std::string_view text, const std::string& context, const password_source& ask_password)
{
    ensure_sodium();
    const std::string what = "not a minisign secret key";
    const key_file_lines lines = split_key_file(text, what, context);
    wiped_bytes<secret_key_bytes> raw;
    if (!from_base64(lines.data, raw.data, secret_key_bytes))
        throw format_error(error_text(what + ": the key line is not base64 of " + std::to_string(secret_key_bytes) +
                                          " bytes",
                                      context));
    if (std::memcmp(raw.data, "Ed", 2) != 0)
        throw format_error(error_text(what + ": unknown key algorithm", context));
    if (std::memcmp(raw.data + 4, "B2", 2) != 0)
        throw format_error(error_text(what + ": unknown checksum algorithm", context));
    const bool encrypted = std::memcmp(raw.data + 2, "Sc", 2) == 0;
    if (!encrypted && std::memcmp(raw.data + 2, "\0\0", 2) != 0)
        throw format_error(error_text(what + ": unknown password protection", context));
    std::uint8_t* keynum = raw.data + keynum_at;
    if (encrypted) {
        const std::uint64_t memlimit = load_le64(raw.data + memlimit_at);
        if (memlimit > max_key_memlimit)
            throw format_error(error_text("the secret key's password protection asks for " +
                                              std::to_string(memlimit >> 20) + " MiB, more than the " +
                                              std::to_string(max_key_memlimit >> 20) + " MiB allowed",
                                          context));
        wiped_string password{ask_password()};
        apply_password(keynum, password.text, raw.data + salt_at, load_le64(raw.data + opslimit_at), memlimit,
                       context);
    }
    key_id id;
    std::memcpy(id.bytes.data(), keynum, 8);
    std::array<std::uint8_t, 64> key_bytes{};
    std::memcpy(key_bytes.data(), keynum + 8, 64);
    secret_key key(id, key_bytes);
    sodium_memzero(key_bytes.data(), key_bytes.size());
    const std::array<std::uint8_t, 32> sum = checksum_of(id, key.key().data());
    const std::uint8_t* stored_sum = keynum + 8 + 64;
    // `minisign -G -W` leaves an unencrypted key's checksum zero; the check of
    // the public half below still catches a damaged key.
    const bool unset = !encrypted && sodium_is_zero(stored_sum, checksum_bytes);
    if (!unset && sodium_memcmp(sum.data(), stored_sum, checksum_bytes) != 0) {
        if (encrypted)
            throw wrong_password(error_text("wrong password for the secret key", context));
        throw format_error(error_text(what + ": its checksum does not match (damaged?)", context));
    }
    // The public half is stored, not derived: one that does not belong to the
    // seed would make signatures nobody can verify.
    wiped_bytes<32> derived_pk;
    wiped_bytes<64> derived_sk;
    crypto_sign_seed_keypair(derived_pk.data, derived_sk.data, key.key().data());
    if (sodium_memcmp(derived_sk.data, key.key().data(), 64) != 0)
        throw format_error(error_text(what + ": its public half does not belong to its seed", context));
    return key;
}

secret_key read_secret_key(const std::string& path, const password_source& ask_password)
{
    const wiped_string text{read_key_file(path)};
    return parse_secret_key(text.text, path, ask_password);
}

std::string format_secret_key(const secret_key& key, const std::optional<key_encryption>& encryption)
{
    ensure_sodium();
    wiped_bytes<secret_key_bytes> raw;
    std::memcpy(raw.data, "Ed", 2);
    std::memcpy(raw.data + 2, encryption ? "Sc" : "\0\0", 2);
    std::memcpy(raw.data + 4, "B2", 2);
    std::uint8_t* keynum = raw.data + keynum_at;
    std::memcpy(keynum, key.id().bytes.data(), 8);
    std::memcpy(keynum + 8, key.key().data(), 64);
    const std::array<std::uint8_t, 32> sum = checksum_of(key.id(), key.key().data());
    std::memcpy(keynum + 8 + 64, sum.data(), checksum_bytes);
    if (encryption) {
        randombytes_buf(raw.data + salt_at, salt_bytes);
        store_le64(raw.data + opslimit_at, encryption->opslimit);
        store_le64(raw.data + memlimit_at, encryption->memlimit);
        apply_password(keynum, encryption->password, raw.data + salt_at, encryption->opslimit, encryption->memlimit,
                       "key " + key.id().text());
    }
    return std::string(comment_prefix) + (encryption ? "minisign encrypted secret key" : "minisign secret key") +
           "\n" + to_base64(raw.data, secret_key_bytes) + "\n";
}

} // namespace signature
