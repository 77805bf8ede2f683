// The engine's handling of the library's messages, fed arbitrary bytes as one connection would
// deliver them: framing, decoding, lists sent whole or in parts, replies for unknown jobs. The
// engine may only close that connection; it must never crash, hang or write outside its folder.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "program/engine_log.h"
#include "program/engine_server.h"
#include "transfer/event_loop.h"

using namespace tev::localengine;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Whatever a list names, transfers go to a port nobody listens on.
    setenv("all_proxy", "http://127.0.0.1:9", 1);
    setenv("ALL_PROXY", "http://127.0.0.1:9", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A fixed folder, so that corpus entries can name it; lists elsewhere are refused.
    static const std::string folder = [] {
        mkdir("/tmp/tev-fuzz-engine", 0700);
        return std::string("/tmp/tev-fuzz-engine");
    }();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        return 0;
    }
    {
        EventLoop loop;
        EngineLog log("");
        EngineOptions options;
        options.checkPeerUser = false;
        options.onlyUnder = folder;
        // The messages are what is fuzzed: threads started and joined for every input would
        // only slow it down.
        options.transfers.diskThreads = 1;
        options.transfers.receiveLane = false;
        EngineServer server(loop, options, log);
        const int id = server.Adopt(pair[0]);
        // In two pieces: a frame split across reads must decode as one.
        const size_t half = size / 2;
        server.Feed(id, data, half);
        server.Feed(id, data + half, size - half);
        for (int round = 0; round < 3; ++round) {
            loop.RunOnce(0);
        }
    }
    close(pair[1]);
    return 0;
}
