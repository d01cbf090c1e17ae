// renvora-cardsim: the emulated MyEID card in a virtual reader. It connects to vsmartcard's vpcd reader
// driver inside pcscd (vpcd listens; the card connects) and answers its messages: two bytes of length,
// then either one control byte (0 power off, 1 power on, 2 reset, 4 send the ATR) or a command APDU,
// answered with the response APDU.
//
//   renvora-cardsim --state FILE [--port 35963] [--capacity BYTES] [--refuse-deletes] [--serial S]
//                   [--count-file F] [--arm-file F] [--freeze-at N [--freeze-applies]] [--status-file F]
//
// A test pulls the card at a point of the write it chooses by counting: with --arm-file the card counts
// the commands that change what it stores once that file exists (without it, from the start), writes the
// count to --count-file after each, and at the N-th (--freeze-at) stops answering: it applies that command
// first with --freeze-applies, says "frozen N" in --status-file, and waits to be killed (the card pulled)
// or for its reader to go (pcscd stopped). With --whole-directories the later parts of a PKCS#15 directory
// rewrite are not counted, so no pull falls inside one (see docs/p11card.md: a card commits each command,
// and OpenSC rewrites a directory file in several).
#include "myeid_card.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <time.h>

namespace {

using cardsim::Bytes;

bool ReadAll(int fd, uint8_t* p, std::size_t n) {
    while (n > 0) {
        // Acknowledged at once: without it each command waits for the delayed acknowledgement (~40 ms).
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool Send(int fd, const Bytes& msg) {
    Bytes out{static_cast<uint8_t>(msg.size() >> 8), static_cast<uint8_t>(msg.size())};
    out.insert(out.end(), msg.begin(), msg.end());
    std::size_t off = 0;
    while (off < out.size()) {
        ssize_t r = ::send(fd, out.data() + off, out.size() - off, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        off += static_cast<std::size_t>(r);
    }
    return true;
}

void WriteText(const std::string& file, const std::string& text) {
    if (file.empty()) {
        return;
    }
    std::string tmp = file + ".tmp";
    { std::ofstream(tmp, std::ios::trunc) << text; }
    std::rename(tmp.c_str(), file.c_str());
}

bool Exists(const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0;
}

int Connect(int port) {
    // vpcd may not listen yet: tried for up to 60 s, every 20 ms.
    for (int attempt = 0; attempt < 3000; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        if (fd >= 0) {
            ::close(fd);
        }
        timespec ts{0, 20'000'000};
        nanosleep(&ts, nullptr);
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    cardsim::Options o;
    int port = 35963;
    std::string countFile, armFile, statusFile;
    long freezeAt = 0;
    bool freezeApplies = false, wholeDirectories = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "renvora-cardsim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--state") {
            o.stateFile = next();
        } else if (a == "--port") {
            port = std::atoi(next().c_str());
        } else if (a == "--capacity") {
            o.capacity = static_cast<std::size_t>(std::atol(next().c_str()));
        } else if (a == "--refuse-deletes") {
            o.refuseDeletes = true;
        } else if (a == "--serial") {
            o.serial = next();
        } else if (a == "--count-file") {
            countFile = next();
        } else if (a == "--arm-file") {
            armFile = next();
        } else if (a == "--freeze-at") {
            freezeAt = std::atol(next().c_str());
        } else if (a == "--freeze-applies") {
            freezeApplies = true;
        } else if (a == "--whole-directories") {
            wholeDirectories = true;
        } else if (a == "--status-file") {
            statusFile = next();
        } else {
            std::fprintf(stderr, "renvora-cardsim: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (o.stateFile.empty()) {
        std::fprintf(stderr, "usage: renvora-cardsim --state FILE [options]\n");
        return 2;
    }
    cardsim::MyEidCard card(o);
    std::string error;
    if (!card.Load(error)) {
        std::fprintf(stderr, "renvora-cardsim: %s\n", error.c_str());
        return 1;
    }
    int fd = Connect(port);
    if (fd < 0) {
        std::fprintf(stderr, "renvora-cardsim: no reader listens on port %d\n", port);
        return 1;
    }
    std::fprintf(stderr, "renvora-cardsim: %zu of %zu bytes used\n", card.UsedBytes(), o.capacity);
    WriteText(statusFile, "inserted\n");
    long writes = 0;
    for (;;) {
        uint8_t len[2];
        if (!ReadAll(fd, len, 2)) {
            break; // the reader is gone
        }
        Bytes msg(static_cast<std::size_t>(len[0] << 8 | len[1]));
        if (!msg.empty() && !ReadAll(fd, msg.data(), msg.size())) {
            break;
        }
        if (msg.size() == 1) {
            if (msg[0] == 0x01 || msg[0] == 0x02) {
                card.Reset();
            } else if (msg[0] == 0x04 && !Send(fd, card.Atr())) {
                break;
            }
            continue;
        }
        std::fprintf(stderr, "cmd %02X\n", msg.size() > 1 ? msg[1] : 0); // every command, for the figures
        // With --whole-directories a pull never falls between the parts of one directory rewrite.
        bool counted = cardsim::MyEidCard::IsWrite(msg) && (armFile.empty() || Exists(armFile)) &&
                       !(wholeDirectories && card.ContinuesDirectory(msg));
        if (counted) {
            ++writes;
            std::fprintf(stderr, "write %ld: %02X %02X %02X file %04X\n", writes, msg[1], msg[2], msg[3],
                         card.SelectedFid());
            if (freezeAt > 0 && writes == freezeAt) {
                if (freezeApplies) {
                    card.Process(msg);
                }
                WriteText(statusFile, "frozen " + std::to_string(writes) + "\n");
                for (;;) {
                    pause(); // until the card is pulled
                }
            }
        }
        const auto began = std::chrono::steady_clock::now();
        Bytes response = card.Process(msg);
        // The card's own time in the command (its arithmetic and saving its state), for the figures.
        std::fprintf(stderr, "card %lld us\n",
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::steady_clock::now() - began)
                                                .count()));
        if (counted) {
            WriteText(countFile, std::to_string(writes) + "\n");
        }
        if (!Send(fd, response)) {
            break;
        }
    }
    ::close(fd);
    return 0;
}
