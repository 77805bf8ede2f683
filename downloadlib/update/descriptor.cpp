#include "update/descriptor.h"

#include <unistd.h>

#include <cstring>

#include "foundation/log.h"
#include "update/trust.h"
#include "xml/xml_parser.h"

namespace {

std::string Attribute(const CXMLElement* element, const char* name, size_t bufferSize) {
    std::string buffer(bufferSize, '\0');
    const uint32_t length =
        CXMLParserVelmor::GetAttribute(element, name, buffer.data(), buffer.size());
    buffer.resize(length);
    return buffer;
}

const CXMLElement* FileElement(const CXMLElement* root, const std::string& fileName) {
    return CXMLParserVelmor::FindChild(CXMLParserVelmor::FindChild(root, "file"), fileName.c_str());
}

bool FileExists(const std::string& path) {
    return !path.empty() && access(path.c_str(), F_OK) == 0;
}

}  // namespace

std::string ReadEngineVersion(const CXMLElement* root, const std::string& engineFileName) {
    return Attribute(FileElement(root, engineFileName), "ver", kDescriptorVersionBufferSize);
}

void ReadPackage(const CXMLElement* root, std::string* url, std::string* hashUrl) {
    const CXMLElement* all =
        CXMLParserVelmor::FindChild(CXMLParserVelmor::FindChild(root, "all"), "all");
    *url = Attribute(all, "url", kDescriptorUrlBufferSize);
    *hashUrl = Attribute(all, "hash", kDescriptorUrlBufferSize);
}

void ReadFileEntry(const CXMLElement* root, const std::string& fileName, std::string* url,
                   std::string* hashUrl) {
    const CXMLElement* file = FileElement(root, fileName);
    *url = Attribute(file, "url", kDescriptorUrlBufferSize);
    *hashUrl = Attribute(file, "hash", kDescriptorUrlBufferSize);
}

uint32_t CountFiles(const CXMLElement* root) {
    return CXMLParserVelmor::ChildCount(CXMLParserVelmor::FindChild(root, "file"));
}

std::vector<std::string> BuildUpdateList(const std::string& newVersion,
                                         const CEngineEnvironment& environment, bool newerOnly) {
    const std::string current = environment.currentVersion();
    WriteLogLineF("[TessloadLib] Current Version: %s / New Version: %s", current.c_str(),
                  newVersion.c_str());
    const std::string enginePath = environment.enginePath();
    const std::string secondaryPath = environment.secondaryPath();
    std::vector<std::string> list;
    int order = 0;
    const bool newer = CompareDottedVersions(newVersion, current, &order) && order > 0;
    if (newVersion != current && newerOnly && !newer && FileExists(enginePath)) {
        WriteLogLineF("[TessloadLib] Not Newer (Current Version: %s / New Version: %s)",
                      current.c_str(), newVersion.c_str());
    } else if (newVersion != current) {
        list.push_back(enginePath);
        list.push_back(secondaryPath);
    } else {
        if (!FileExists(enginePath)) {
            list.push_back(enginePath);
        }
        if (!secondaryPath.empty()) {
            list.push_back(secondaryPath);
        }
    }
    WriteLogLineF("[TessloadLib] Update File (Count: %d)", static_cast<int>(list.size()));
    return list;
}

void SplitPath(const std::string& path, std::string* folder, std::string* name) {
    const size_t at = path.find_last_of("/\\");
    *folder = at == std::string::npos ? "" : path.substr(0, at + 1);
    *name = at == std::string::npos ? path : path.substr(at + 1);
}

bool IsSecureUrl(const std::string& url) {
    return url.size() >= 8 && strncasecmp(url.c_str(), "https://", 8) == 0;
}

namespace {

// A download over plain http must come with its hash document.
bool Checkable(const CUpdateDownload& download) {
    if (!download.hashUrl.empty() || IsSecureUrl(download.url)) {
        return true;
    }
    WriteLogLineF("[TessloadLib] No Hash Document (URL: %s)", download.url.c_str());
    return false;
}

}  // namespace

bool FormDownloads(const CXMLElement* root, const std::vector<std::string>& updateList,
                   const std::string& enginePath, std::vector<CUpdateDownload>* downloads) {
    if (updateList.empty()) {
        return true;  // up to date, however many files the descriptor lists
    }
    if (updateList.size() == CountFiles(root)) {
        CUpdateDownload package;
        SplitPath(enginePath, &package.folder, &package.name);
        ReadPackage(root, &package.url, &package.hashUrl);
        if (package.url.empty() || !Checkable(package)) {
            return false;
        }
        downloads->push_back(std::move(package));
        return true;
    }
    for (const std::string& path : updateList) {
        if (path.empty()) {
            continue;
        }
        CUpdateDownload download;
        SplitPath(path, &download.folder, &download.name);
        ReadFileEntry(root, download.name, &download.url, &download.hashUrl);
        if (download.url.empty() || !Checkable(download)) {
            return false;
        }
        downloads->push_back(std::move(download));
    }
    return true;
}
