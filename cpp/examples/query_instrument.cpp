// Asks the first instrument of a chain who it is, from C++ alone.
//   query_instrument [DEVICE]
// Without DEVICE a pseudo-terminal stands in for the chain, with a small
// responder thread playing instrument 1.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "orvak/instrument.hpp"
#include "orvak/posix_serial_port.hpp"
#include "orvak/serial_manager.hpp"

namespace {

void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written <= 0) return;  // the near end is gone; nobody is listening
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Answers the identity and version queries addressed to instrument 1.
void respond(const std::stop_token& stop, int fd) {
    std::string pending;
    std::array<char, 256> chunk{};
    while (!stop.stop_requested()) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) continue;
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got <= 0) continue;
        pending.append(chunk.data(), static_cast<std::size_t>(got));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.starts_with("<I1 M116")) write_all(fd, "I1 2\r\n");
            if (line.starts_with("<I1 M115")) write_all(fd, "I1 v1.0.0\r\n");
        }
    }
}

// A raw pseudo-terminal: the near end for the port, the far end for `respond`.
std::pair<orvak::detail::UniqueFd, orvak::detail::UniqueFd> open_pseudo_terminal() {
    int far = -1;
    int near = -1;
    if (::openpty(&far, &near, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("could not create a pseudo-terminal");
    }
    orvak::detail::UniqueFd far_end(far);
    orvak::detail::UniqueFd near_end(near);
    termios tio{};
    if (::tcgetattr(near, &tio) != 0) throw std::runtime_error("could not configure it");
    ::cfmakeraw(&tio);
    if (::tcsetattr(near, TCSANOW, &tio) != 0) throw std::runtime_error("could not configure it");
    return {std::move(far_end), std::move(near_end)};
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::shared_ptr<orvak::Port> port;
        orvak::detail::UniqueFd far_end;
        std::jthread responder;
        if (argc > 1) {
            port = std::make_shared<orvak::PosixSerialPort>(argv[1], 115200);
        } else {
            auto [far, near] = open_pseudo_terminal();
            port = orvak::PosixSerialPort::adopt(near.release(), "pseudo-terminal");
            far_end = std::move(far);
            responder = std::jthread(respond, far_end.get());
        }

        orvak::Instrument instrument;
        instrument.name = "instrument 1";
        auto manager = std::make_shared<orvak::SerialManager>(
            port, std::make_shared<orvak::FixedRoutes>(
                      std::vector<std::shared_ptr<orvak::ReplySlots>>{instrument.slots()}));
        instrument.attach(manager);

        std::cout << "identity: " << instrument.identify() << '\n';
        std::cout << "leader: " << (instrument.is_leader() ? "true" : "false") << '\n';
        manager->stop();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "query_instrument: " << error.what() << '\n';
        return 1;
    }
}
