// The stand-in engine offered as the engine update by the project's test server, so that a host
// under test installs, starts and uses it as it would the real engine. Built into the tests that
// use it, beside the test server and the publishing tool.
#pragma once

#include <string>
#include <vector>

#include "engine/engine_protocol.h"
#include "test_server/test_http_server.h"

// Publishes the stand-in engine (tev-publish's output, made in workFolder) as the server's
// in-memory content, signed with the test's key (which the library then trusts); false with
// *error set when that fails.
bool ServeStandInEngineUpdate(tev::tools::TestHttpServer& server, const std::string& workFolder,
                              std::string* error);

// What the stand-in engine read on its first connection (it writes every message to
// <engine path>.received, a line each: connection, category, type, payload in hexadecimal): the
// job number of each file list, and the payload of each resume reply (type 18).
struct StandInRecord {
    std::vector<std::string> lists;
    std::vector<std::string> replies;
};
StandInRecord ReadStandInRecord(const std::string& enginePath);

// The payload of a record in hexadecimal for a stand-in "send" line, its leading job number
// written JOB: the stand-in fills in the number of the newest list it received.
template <class Record>
std::string StandInPayloadWithJob(const Record& record) {
    engine_protocol::Bytes payload;
    if (!engine_protocol::Encode(record, &payload) || payload.size() < 4) {
        return "bad-record";
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex = "JOB";
    for (size_t i = 4; i < payload.size(); ++i) {
        hex += digits[payload[i] >> 4];
        hex += digits[payload[i] & 15];
    }
    return hex;
}
