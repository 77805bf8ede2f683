#include "support/published_engine.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/engine_paths.h"
#include "publish/publisher.h"
#include "support/stand_in.h"
#include "support/update_signing.h"
#include "update/version_text.h"

namespace fs = std::filesystem;

bool ServeStandInEngineUpdate(tev::tools::TestHttpServer& server, const std::string& workFolder,
                              std::string* error) {
    const fs::path build = fs::path(workFolder) / "engine-build";
    const fs::path site = fs::path(workFolder) / "engine-site";
    std::error_code failed;
    fs::create_directories(build, failed);
    fs::copy_file(StandInEngineProgram(), build / kEngineFileName,
                  fs::copy_options::overwrite_existing, failed);
    if (failed) {
        *error = "cannot copy the stand-in engine: " + failed.message();
        return false;
    }
    tev::tools::PublishOptions options;
    options.outputFolder = site.string();
    options.baseUrl = server.Url("");
    options.program = (build / kEngineFileName).string();
    options.signingKey = TestUpdateKey().privateKey;
    options.forTest = true;
    if (!GetFileVersionText(options.program, &options.version)) {
        *error = "the stand-in engine has no version";
        return false;
    }
    if (!tev::tools::Publish(options, error)) {
        return false;
    }
    for (const auto& entry : fs::recursive_directory_iterator(site)) {
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            server.SetContent("/" + fs::relative(entry.path(), site).string(), bytes.str());
        }
    }
    return true;
}

StandInRecord ReadStandInRecord(const std::string& enginePath) {
    StandInRecord record;
    std::ifstream received(enginePath + ".received");
    for (std::string line; std::getline(received, line);) {
        if (line.rfind("1 102 14 ", 0) == 0) {
            record.lists.push_back(line.substr(9, 8));
        } else if (line.rfind("1 100 18 ", 0) == 0) {
            record.replies.push_back(line.substr(9));
        }
    }
    return record;
}
