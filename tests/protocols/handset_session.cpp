#include "handset_session.h"

#include "elf_image.h"
#include "sahara.h"
#include "usb.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <stdexcept>

handset_session::handset_session(const vhandset::handset_options& options)
{
    device_ = vhandset::attach(options, state_dir_);
    handle_ = usb_open_vidpid(edl_vidpid, true);
    if (handle_ < 0)
        throw std::runtime_error("cannot open the virtual handset");
}

handset_session::~handset_session()
{
    pipe_.reset();
    usb_close(handle_);
    vhandset::detach_all();
}

std::vector<std::string> handset_session::lines(const std::string& prefix) const
{
    std::vector<std::string> out;
    for (const auto& l : transcript())
        if (l.rfind(prefix, 0) == 0)
            out.push_back(l);
    return out;
}

std::vector<std::string> handset_session::transcript_of_at_least(std::size_t n) const
{
    constexpr int polls = 100;
    constexpr auto pause = std::chrono::milliseconds(10);
    auto t = transcript();
    for (int i = 0; i < polls && t.size() < n; ++i) {
        std::this_thread::sleep_for(pause);
        t = transcript();
    }
    return t;
}

transport& handset_session::fresh_pipe()
{
    pipe_.reset();
    pipe_ = std::make_unique<usbport>();
    pipe_->open_pipe(handle_, edl_interface);
    return *pipe_;
}

void handset_session::boot_programmer()
{
    sahara rom;
    rom.open(fresh_pipe());
    const std::string image = testsupport::make_elf(false, {6000});
    rom.upload(reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
    rom.close();
}

std::string handset_session::lun_bytes(unsigned lun, std::uint64_t offset, std::size_t length) const
{
    std::ifstream in(device_->lun_image(lun), std::ios::binary);
    std::string out(length, '\0');
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(out.data(), static_cast<std::streamsize>(length));
    if (in.gcount() != static_cast<std::streamsize>(length))
        throw std::runtime_error("LUN image shorter than expected");
    return out;
}

std::string text_of(const buffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.c_ptr()), static_cast<std::size_t>(b.size()));
}
