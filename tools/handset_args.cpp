#include "handset_args.h"

const option_def serial_option = {"--serial", true};
const option_def port_option = {"--port", true};

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
