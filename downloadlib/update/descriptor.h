// The updater descriptor: which engine version the update server offers, where its complete
// package and its single files are, and the rule that decides what to fetch. The descriptor is
// XML: under any root, "all"/"all" names the package and "file"/<file name> each file, with the
// attributes "url", "hash" and, for the engine program, "ver". Element names match without regard
// to ASCII case; attribute names match exactly.
//
// Everything here is a plain function over a parsed document and the engine's environment, so
// the decisions can be tested without a server or an installed engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CXMLElement;
class CEngineStartWatch;

// What the update needs of the installed engine. The library's own is DefaultEngineEnvironment;
// tests pass their own.
struct CEngineEnvironment {
    std::function<std::string()> engineFolder;    // where the engine's files go, ending in '/'
    std::function<std::string()> enginePath;      // the engine program's full path
    std::function<std::string()> secondaryPath;   // a second engine file; empty: none
    std::function<std::string()> currentVersion;  // the installed program's "FileVersion"
    // Starts the engine: done(started) runs once, at once or, while the returned watch is kept,
    // from a later timer tick; dropping the watch gives the start up.
    std::function<std::shared_ptr<CEngineStartWatch>(std::function<void(bool)> done)> runEngine;
};

// Attribute values are read into buffers of these sizes, as the descriptor format allows.
constexpr size_t kDescriptorUrlBufferSize = 256;
constexpr size_t kDescriptorVersionBufferSize = 128;

// The "ver" of "file"/<engine file name>; empty when missing.
std::string ReadEngineVersion(const CXMLElement* root, const std::string& engineFileName);
// "url" and "hash" of "all"/"all"; empty when missing.
void ReadPackage(const CXMLElement* root, std::string* url, std::string* hashUrl);
// "url" and "hash" of "file"/<file name>; empty when missing.
void ReadFileEntry(const CXMLElement* root, const std::string& fileName, std::string* url,
                   std::string* hashUrl);
// The number of child elements of "file"; 0 without one.
uint32_t CountFiles(const CXMLElement* root);

// The full local paths of the engine files that need a download (empty entries count in the
// size). Any difference between the two version texts counts, an older offer too, unless
// newerOnly: then only a strictly newer dotted version (or an engine that is not there) does.
// Writes the two log lines of the decision.
std::vector<std::string> BuildUpdateList(const std::string& newVersion,
                                         const CEngineEnvironment& environment,
                                         bool newerOnly = false);

// Splits a path at its last '/' or '\' into the folder (with the separator) and the name.
void SplitPath(const std::string& path, std::string* folder, std::string* name);

// One download of the update: archive address, hash document address, file name, folder.
struct CUpdateDownload {
    std::string url;
    std::string hashUrl;
    std::string name;
    std::string folder;
};

// The downloads the update list asks for: the complete package when the list has as many
// entries as "file" has children, else one per non-empty entry. False at the first needed entry
// whose "url" is empty, and at one over plain http without a "hash" (it could only be installed
// unchecked); downloads formed before it stay in *downloads.
bool FormDownloads(const CXMLElement* root, const std::vector<std::string>& updateList,
                   const std::string& enginePath, std::vector<CUpdateDownload>* downloads);

// Whether a URL is fetched over verified TLS.
bool IsSecureUrl(const std::string& url);
