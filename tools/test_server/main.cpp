// tev-test-server: serves a folder over loopback HTTP/1.1 until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/program.h"
#include "test_server/rule_option.h"
#include "test_server/test_http_server.h"

namespace {

constexpr const char* kUsage =
    "Usage: tev-test-server --root DIR [--port N] [--bind ADDR] [--port-file FILE]\n"
    "                       [--tls CERT KEY] [--rule RULE]... [--quiet]\n"
    "\n"
    "Serves the files of DIR over HTTP/1.1 (GET, HEAD, keep-alive, single byte ranges), or over\n"
    "HTTPS with --tls, until SIGINT or SIGTERM. Prints the port it listens on; --port 0 (the\n"
    "default) picks a free one.\n"
    "\n"
    "  --root DIR        folder to serve (paths outside it are answered 404)\n"
    "  --port N          port to listen on (default 0: any free port)\n"
    "  --bind ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port-file FILE  also write the port to FILE, for scripts\n"
    "  --tls CERT KEY    speak TLS with the PEM certificate chain CERT and private key KEY\n"
    "  --rule RULE       misbehave for a path; may be repeated, the first matching rule wins\n"
    "  --quiet           do not log requests on stderr\n"
    "\n"
    "RULE is PATH:[first=N,][range-only,][no-validators,][link=URL,]KIND[=VALUE], PATH a\n"
    "request path or '*' for all.\n"
    "  first=N, only the first N matching requests;  range-only, only requests with Range;\n"
    "  no-validators, no ETag or Last-Modified;  link=URL, also send the file's torrent link:\n"
    "    Link: <URL>; rel=describedby; type=\"application/x-bittorrent\"\n"
    "  (URL without spaces, '<', '>' or ','; relative to the file's address or absolute).\n"
    "  KIND: redirect[=LOCATION] (302)  see-other[=LOCATION] (303)  status=CODE\n"
    "        close-before-head  close-after=BYTES  stall  rate=BYTES_PER_SECOND\n"
    "        no-length  ignore-range  chunked[=BYTES_PER_SECOND]  no-validators\n"
    "        link=URL (a normal answer with the Link header above)\n"
    "Torrents (tev-publish torrent) are served like any other file, as\n"
    "application/x-bittorrent.\n"
    "Examples: --rule /big.bin:close-after=1000  --rule /big.bin:first=2,range-only,stall\n"
    "          --rule /old.bin:redirect=/big.bin\n"
    "          --rule /game.bin:link=/game.bin.torrent\n"
    "          --rule /game.bin:link=/game.bin.torrent,rate=25000000\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "tev-test-server: %s\n(see --help)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using tev::tools::TestHttpServer;
    // A client that goes away mid-transfer makes a write fail, not the server die.
    signal(SIGPIPE, SIG_IGN);
    TestHttpServer::Options options;
    options.logRequests = true;
    std::string portFile;
    std::vector<std::pair<std::string, tev::tools::HttpRule>> rules;

    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--quiet") {
            options.logRequests = false;
            continue;
        }
        if (i + 1 >= argc) {
            return Fail("missing value or unknown option " + argument);
        }
        const std::string value = argv[++i];
        if (argument == "--root") {
            options.root = value;
        } else if (argument == "--port") {
            if (!tev::tools::ParsePort(value, &options.port)) {
                return Fail("bad port " + value);
            }
        } else if (argument == "--bind") {
            options.bindAddress = value;
        } else if (argument == "--tls") {
            if (i + 1 >= argc) {
                return Fail("--tls needs a certificate file and a key file");
            }
            options.tlsCertificate = value;
            options.tlsKey = argv[++i];
        } else if (argument == "--port-file") {
            portFile = value;
        } else if (argument == "--rule") {
            std::string error;
            auto rule = tev::tools::ParseRuleOption(value, &error);
            if (!rule) {
                return Fail(error);
            }
            rules.push_back(std::move(*rule));
        } else {
            return Fail("unknown option " + argument);
        }
    }
    if (options.root.empty()) {
        return Fail("--root is required");
    }

    tev::tools::BlockTerminationSignals();
    TestHttpServer server(options);
    if (!server.Ok()) {
        return Fail(server.Error());
    }
    for (const auto& [path, rule] : rules) {
        server.AddRule(path, rule);
    }
    if (!portFile.empty()) {
        std::string error;
        if (!tev::tools::WritePortFile(portFile, server.Port(), &error)) {
            return Fail(error);
        }
    }
    std::printf("tev-test-server: serving %s on %s (port %u)\n", options.root.c_str(),
                server.Url("/").c_str(), static_cast<unsigned>(server.Port()));
    std::fflush(stdout);

    const int signal = tev::tools::WaitForTerminationSignal();
    std::fprintf(stderr, "tev-test-server: %s, stopping\n", strsignal(signal));
    server.Stop();
    return 0;
}
