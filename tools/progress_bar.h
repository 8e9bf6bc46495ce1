// Shows an operation's progress on a stream (stderr in practice): a redrawn
// bar with percentage and message on a terminal, plain "NN% message" lines
// otherwise (one per change of either, so logs stay short).
#pragma once

#include "progress.h"

#include <cstdint>
#include <cstdio>
#include <string>

class progress_bar : public progress_handler {
public:
    explicit progress_bar(std::FILE* out);

    void started() override;
    void changed() override;
    void finished() override;

private:
    void draw(std::uint32_t percent, const std::string& text);

    std::FILE* out_;
    bool terminal_;
    bool drawn_ = false;
    std::uint32_t last_percent_ = 0;
    std::string last_message_;
};
