// A stand-in for the engine program in tests: it carries a version block, and does what the
// script beside it says (<own path>.script, one command a line; without one: "ready", "exit 0").
// It writes its pid to <own path>.pid first, so a test can always find and end it, and it never
// outlives its lifetime bound (30 s unless "lifetime" says otherwise).
//
//   ready                 write the readiness byte to TEV_READY_FD and close it
//   close-ready           close TEV_READY_FD without a byte
//   report                write <own path>.report: session, standard streams, open descriptors
//   listen                listen on 127.0.0.1:TEV_ENGINE_PORT (38006 when unset); when the port
//                         is taken: the readiness byte, then exit 0, as the engine does
//   accept                take one connection (10 s at most, else exit 4)
//   expect CATEGORY TYPE  read one message; another one, or none within 10 s: exit 3
//   until CATEGORY TYPE   read messages until one of this kind comes (10 s at most, else exit 3)
//   send CATEGORY TYPE HEX   send one message with the payload given in hexadecimal; JOB in it
//                         stands for the 4 bytes of the job number of the newest file list
//   drain                 read and drop messages until the peer closes
//   close                 close the connection
//   sleep MS | wait       pause; wait pauses until the lifetime ends
//   lifetime MS           the bound, counted from now
//   exit CODE
// A command that fails exits with status 5. Every message read is appended to <own path>.received
// as it comes, one line each: connection number, category and type in hexadecimal, payload in
// hexadecimal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/engine_protocol.h"

namespace ep = engine_protocol;

namespace {

using Clock = std::chrono::steady_clock;

std::string SelfPath() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("stand-in");
}

int ReadyFd() {
    const char* value = std::getenv("TEV_READY_FD");
    return value != nullptr && value[0] != '\0' ? std::atoi(value) : -1;
}

void Ready(bool withByte) {
    const int fd = ReadyFd();
    if (fd >= 0) {
        if (withByte) {
            const char byte = 1;
            const ssize_t ignored = write(fd, &byte, 1);
            (void)ignored;
        }
        close(fd);
    }
}

void Report(const std::string& path) {
    // Looked at before the report file is opened, which would show among them.
    std::string open;
    if (DIR* dir = opendir("/proc/self/fd")) {
        const int own = dirfd(dir);
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own) {
                open += std::string(entry->d_name) + " ";
            }
        }
        closedir(dir);
    }
    std::string streams;
    for (int fd = 0; fd < 3; ++fd) {
        char target[256] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        streams += "fd" + std::to_string(fd) + "=" + (n > 0 ? target : "closed") + "\n";
    }
    std::ofstream out(path);
    out << "session_leader=" << (getsid(0) == getpid() ? 1 : 0) << "\n";
    out << "session=" << getsid(0) << "\n";
    out << streams << "open=" << open << "\nready_fd=" << ReadyFd() << "\n";
}

uint16_t EnginePort() {
    const char* value = std::getenv("TEV_ENGINE_PORT");
    return value != nullptr && value[0] != '\0' ? static_cast<uint16_t>(std::atoi(value))
                                                : ep::kDefaultPort;
}

bool WaitReadable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

class Peer {
  public:
    ~Peer() {
        Close();
        if (listener_ >= 0) {
            close(listener_);
        }
    }

    // 1 listening, 0 the port is taken, -1 failed.
    int Listen() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(EnginePort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return errno == EADDRINUSE ? 0 : -1;
        }
        return listen(listener_, 4) == 0 ? 1 : -1;
    }
    bool Accept() {
        if (listener_ < 0 || !WaitReadable(listener_, 10000)) {
            return false;
        }
        Close();
        connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return connection_ >= 0;
    }
    // The next message, waiting at most timeoutMs for its bytes; false when the peer closed.
    bool Next(ep::FrameHeader* header, ep::Bytes* payload, int timeoutMs) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const uint8_t* at = nullptr;
            const int64_t used = ep::NextFrame(buffer_.data(), buffer_.size(), header, &at);
            if (used < 0) {
                return false;
            }
            if (used > 0) {
                payload->assign(at, at + header->length);
                buffer_.erase(buffer_.begin(), buffer_.begin() + used);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (connection_ < 0 || left <= 0 ||
                !WaitReadable(connection_, static_cast<int>(left))) {
                return false;
            }
            uint8_t chunk[65536];
            const ssize_t got = recv(connection_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                return false;
            }
            buffer_.insert(buffer_.end(), chunk, chunk + got);
        }
    }
    bool Send(const ep::Bytes& frame) {
        size_t done = 0;
        while (connection_ >= 0 && done < frame.size()) {
            const ssize_t n =
                send(connection_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return done == frame.size();
    }
    void Close() {
        if (connection_ >= 0) {
            close(connection_);
            connection_ = -1;
        }
        buffer_.clear();
    }

  private:
    int listener_ = -1;
    int connection_ = -1;
    ep::Bytes buffer_;
};

std::string ToHex(const ep::Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

// What the library sent, for the test to read; opened for each line, so that no descriptor of
// its own shows in a report.
class Record {
  public:
    explicit Record(std::string path) : path_(std::move(path)) {}
    void Connected() { ++connection_; }
    void Add(const ep::FrameHeader& header, const ep::Bytes& payload) {
        if ((header.category == ep::kFileListCategory && header.type == ep::kFileList) ||
            (header.category == ep::kCategory && header.type == ep::kFileListBegin)) {
            if (payload.size() >= 4) {
                job_.assign(payload.begin(), payload.begin() + 4);
            }
        }
        std::ofstream out(path_, std::ios::app);
        char head[32];
        std::snprintf(head, sizeof head, "%d %x %u ", connection_, header.category, header.type);
        out << head << ToHex(payload) << "\n";
    }
    // The job number of the newest file list, as it stands in a payload.
    std::string JobHex() const { return ToHex(job_); }

  private:
    std::string path_;
    int connection_ = 0;
    ep::Bytes job_ = ep::Bytes(4, 0);
};

bool ParseHex(const std::string& hex, ep::Bytes* out) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long byte = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

}  // namespace

int main() {
    const std::string self = SelfPath();
    std::ofstream(self + ".pid") << getpid() << "\n";
    Clock::time_point end = Clock::now() + std::chrono::seconds(30);

    std::vector<std::string> script;
    std::ifstream in(self + ".script");
    if (in) {
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line[0] != '#') {
                script.push_back(line);
            }
        }
        in.close();  // the engine's descriptors are what a test looks at
    } else {
        script = {"ready", "exit 0"};
    }

    Peer peer;
    Record record(self + ".received");
    const auto next = [&](ep::FrameHeader* header, ep::Bytes* payload, int timeoutMs) {
        if (!peer.Next(header, payload, timeoutMs)) {
            return false;
        }
        record.Add(*header, *payload);
        return true;
    };
    for (const std::string& line : script) {
        if (Clock::now() >= end) {
            return 6;
        }
        std::istringstream words(line);
        std::string command;
        words >> command;
        bool ok = true;
        if (command == "ready" || command == "close-ready") {
            Ready(command == "ready");
        } else if (command == "report") {
            Report(self + ".report");
        } else if (command == "listen") {
            const int listening = peer.Listen();
            if (listening == 0) {
                Ready(true);
                return 0;
            }
            ok = listening == 1;
        } else if (command == "accept") {
            if (!peer.Accept()) {
                return 4;
            }
            record.Connected();
        } else if (command == "expect") {
            unsigned category = 0;
            unsigned type = 0;
            words >> std::hex >> category >> std::dec >> type;
            ep::FrameHeader header;
            ep::Bytes payload;
            if (!next(&header, &payload, 10000) || header.category != category ||
                header.type != type) {
                return 3;
            }
        } else if (command == "until") {
            unsigned category = 0;
            unsigned type = 0;
            words >> std::hex >> category >> std::dec >> type;
            const Clock::time_point until = Clock::now() + std::chrono::seconds(10);
            ep::FrameHeader header;
            ep::Bytes payload;
            bool found = false;
            while (!found) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())
                        .count();
                if (left <= 0 || !next(&header, &payload, static_cast<int>(left))) {
                    return 3;
                }
                found = header.category == category && header.type == type;
            }
        } else if (command == "send") {
            unsigned category = 0;
            unsigned type = 0;
            std::string hex;
            words >> std::hex >> category >> std::dec >> type >> hex;
            for (size_t at = hex.find("JOB"); at != std::string::npos; at = hex.find("JOB")) {
                hex.replace(at, 3, record.JobHex());
            }
            ep::Bytes payload;
            ok = ParseHex(hex, &payload) &&
                 peer.Send(ep::Frame(static_cast<uint16_t>(category), static_cast<uint16_t>(type),
                                     payload));
        } else if (command == "drain") {
            ep::FrameHeader header;
            ep::Bytes payload;
            const auto left = [&] {
                return static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now())
                        .count());
            };
            while (left() > 0 && next(&header, &payload, left())) {
            }
        } else if (command == "close") {
            peer.Close();
        } else if (command == "sleep") {
            int ms = 0;
            words >> ms;
            std::this_thread::sleep_until(
                std::min(end, Clock::now() + std::chrono::milliseconds(ms)));
        } else if (command == "wait") {
            std::this_thread::sleep_until(end);
            return 6;
        } else if (command == "lifetime") {
            int ms = 0;
            words >> ms;
            end = Clock::now() + std::chrono::milliseconds(ms);
        } else if (command == "exit") {
            int code = 0;
            words >> code;
            return code;
        } else {
            ok = false;
        }
        if (!ok) {
            return 5;
        }
    }
    return 0;
}
