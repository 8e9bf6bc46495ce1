#include "handset_args.h"

const option_def serial_option = {"--serial", true};
const option_def port_option = {"--port", true};
const option_def programmer_wait_option = {"--programmer-wait", true};

programmer_wait programmer_wait_from(const parsed_args& args)
{
    programmer_wait wait;
    const std::string text = args.value("--programmer-wait", "auto");
    if (text == "auto") {
        wait.until_answer = true;
        return wait;
    }
    const bool digits = !text.empty() && text.size() <= 6 &&
                        text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits)
        throw usage_error("--programmer-wait takes milliseconds such as 3000, or auto");
    wait.pause_ms = static_cast<std::uint32_t>(std::stoul(text));
    return wait;
}

handset_choice handset_choice_from(const parsed_args& args)
{
    handset_choice choice;
    choice.serial = args.value("--serial", "");
    choice.port = args.value("--port", "");
    if (args.has("--serial") && choice.serial.empty())
        throw usage_error("--serial needs a serial number");
    if (args.has("--port") && choice.port.empty())
        throw usage_error("--port needs a port path such as 1-2");
    return choice;
}

std::string several_handsets_text(const several_handsets& e, const std::string& extra)
{
    std::string text = "Cannot open device: " + std::to_string(e.handsets().size()) +
                       " handsets in emergency-download mode are attached; choose one with --serial or --port" +
                       extra + ":\n";
    for (const attached_handset& h : e.handsets())
        text += "  " + describe_handset(h) + "\n";
    return text;
}
