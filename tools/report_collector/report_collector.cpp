#include "report_collector/report_collector.h"

#include <chrono>
#include <cstdio>

namespace tev::tools {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ReportCollector::ReportCollector(Options options)
    : options_(std::move(options)),
      server_([this](int fd, const PeerAddress& peer, uint64_t id) { Serve(fd, peer, id); }) {
    if (options_.database.empty()) {
        error_ = "no database file given";
        return;
    }
    if (!store_.Open(options_.database.string(), &error_)) {
        return;
    }
    TcpServer::Options serverOptions;
    serverOptions.bindAddress = options_.bindAddress;
    serverOptions.port = options_.port;
    serverOptions.maxConnections = options_.maxConnections;
    ok_ = server_.Start(serverOptions, &error_);
}

ReportCollector::~ReportCollector() {
    Stop();
}

void ReportCollector::Stop() {
    server_.Stop();
}

bool ReportCollector::WaitForRecords(int64_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return stored_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return store_.Count() >= count; });
}

void ReportCollector::Log(const std::string& line) const {
    if (options_.logToStderr) {
        std::fprintf(stderr, "tev-report-collector: %s\n", line.c_str());
    }
}

void ReportCollector::Serve(int fd, const PeerAddress& peer, uint64_t /*connectionId*/) {
    const StopFlag& stop = server_.StopSignal();
    const std::string ack = BuildReportAck(kReportAckStored);
    std::string buffer;
    for (;;) {
        ReportParse parse = ParseReportMessage(buffer);
        if (parse.status == ReportParse::Malformed) {
            refused_.fetch_add(1);
            Log("closing " + peer.ToString() + ": " + parse.error);
            return;
        }
        if (parse.status == ReportParse::NeedMore) {
            if (ReceiveSome(fd, buffer, 64 * 1024, stop, options_.idleTimeoutMs) <= 0) {
                return;  // closed by the peer, idle too long or stopping
            }
            continue;
        }
        std::string error;
        if (!store_.Insert(parse.records, peer.host, peer.port, NowMs(), &error)) {
            // Unstored reports are not acknowledged; the sender may try again later.
            Log("cannot store the report of " + peer.ToString() + ": " + error);
            return;
        }
        storedMessages_.fetch_add(1);
        {
            std::lock_guard lock(mutex_);
            stored_.notify_all();
        }
        Log("stored " + std::to_string(parse.records.size()) + " record(s) from " +
            peer.ToString());
        buffer.erase(0, parse.consumed);
        if (!SendAll(fd, ack, stop, options_.idleTimeoutMs)) {
            return;
        }
    }
}

}  // namespace tev::tools
