#include "command.h"
#include "json_output.h"
#include "keys.h"
#include "minisig.h"
#include "password_prompt.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

namespace {

int run_sign(const parsed_args& args)
{
    const std::string& package = args.positional[0];
    const std::string key_path = args.value("--key", "");
    if (key_path.empty())
        throw usage_error("missing --key SECRET");
    const std::string out = args.value("-o", package + ".minisig");
    const bool replace = args.has("--force");
    json_out::start({{"package", package}, {"signature", out}});
    // Before the password is asked for: the write refuses it too, but later.
    std::error_code ec;
    if (!replace && std::filesystem::exists(std::filesystem::symlink_status(out, ec)))
        throw std::runtime_error("brv sign: " + out + " already exists (replace it with --force)");

    const signature::secret_key key = signature::read_secret_key(
        key_path, [&] { return read_password("Password for the secret key " + key_path + ": "); });
    const std::string name = std::filesystem::path(package).filename().string();
    const signature::minisig sig =
        signature::sign_file(package, key, signature::default_trusted_comment(name, std::time(nullptr)));
    signature::write_new_file(out, signature::format_minisig(sig), replace);
    std::printf("%s: signed by %s\n", out.c_str(), key.id().text().c_str());
    json_out::emit("signed", {{"signature", out}, {"key_id", key.id().text()}});
    return exit_ok;
}

} // namespace

extern const command sign_command = {
    "sign",
    "sign a package (minisign format)",
    "Usage: brv sign FILE.brp --key SECRET [-o OUT] [--force]\n"
    "\n"
    "Signs the whole package with a minisign secret key and writes the detached\n"
    "signature to FILE.brp.minisig, which `minisign -Vm FILE.brp -p KEY.pub`\n"
    "accepts. The trusted comment records the time and the package's name. An\n"
    "encrypted key asks for its password on the terminal.\n"
    "\n"
    "  --key SECRET  the minisign secret key (minisign -G makes one)\n"
    "  -o OUT        where to write the signature (default FILE.brp.minisig)\n"
    "  --force       replace an existing signature file; without it nothing\n"
    "                that exists there is touched\n"
    "  -v            write log lines to stderr\n",
    {{"--key", true}, {"-o", true}, {"--force", false}},
    1,
    1,
    run_sign,
};
