#include "publish/publisher.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include "publish/torrent_maker.h"
#include "update/downloader.h"
#include "update/hash_document.h"
#include "update/trust.h"
#include "xml/xml_parser.h"

namespace tev::tools {

namespace {

namespace fs = std::filesystem;

// The descriptor reader keeps at most this much of an address.
constexpr size_t kMaxAddress = 255;

struct WriterDeleter {
    void operator()(struct archive* a) const { archive_write_free(a); }
};

bool ReadWhole(const std::string& path, std::string* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteWhole(const fs::path& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

// A file name the descriptor can carry as an element name.
bool UsableAsElementName(const std::string& name) {
    if (name.empty() || name.size() > CXMLParserVelmor::kElementNameLimit) {
        return false;
    }
    const auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (!letter(name[0])) {
        return false;
    }
    for (char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '-') {
            return false;
        }
    }
    return true;
}

struct Member {
    std::string path;
    std::string name;
};

// Packs the members into an archive at target, each with its file's permission bits.
bool WriteArchive(const fs::path& target, PackageFormat format, const std::vector<Member>& members,
                  std::string* error) {
    std::unique_ptr<struct archive, WriterDeleter> writer(archive_write_new());
    const int set = format == PackageFormat::kZip ? archive_write_set_format_zip(writer.get())
                                                  : archive_write_set_format_7zip(writer.get());
    if (set != ARCHIVE_OK ||
        archive_write_open_filename(writer.get(), target.c_str()) != ARCHIVE_OK) {
        *error = "cannot write " + target.string() + ": " + archive_error_string(writer.get());
        return false;
    }
    for (const Member& member : members) {
        std::string data;
        struct stat st {};
        if (!ReadWhole(member.path, &data) || stat(member.path.c_str(), &st) != 0) {
            *error = "cannot read " + member.path;
            return false;
        }
        std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)> entry(
            archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(entry.get(), member.name.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), st.st_mode & 0777);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
        archive_entry_set_mtime(entry.get(), st.st_mtime, 0);
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK ||
            archive_write_data(writer.get(), data.data(), data.size()) !=
                static_cast<la_ssize_t>(data.size())) {
            *error = "cannot pack " + member.path + ": " + archive_error_string(writer.get());
            return false;
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        *error = "cannot finish " + target.string();
        return false;
    }
    return true;
}

// Writes the archive and its hash document; *url and *hashUrl are their addresses.
bool WriteDownload(const PublishOptions& options, const std::string& relative,
                   const std::vector<Member>& members, std::string* url, std::string* hashUrl,
                   std::vector<CManifestEntry>* listed, std::string* error) {
    const fs::path target = fs::path(options.outputFolder) / relative;
    fs::create_directories(target.parent_path());
    if (!WriteArchive(target, options.format, members, error)) {
        return false;
    }
    std::string archive;
    if (!ReadWhole(target.string(), &archive)) {
        *error = "cannot read back " + target.string();
        return false;
    }
    const std::vector<uint8_t> hash =
        BuildHashDocument(reinterpret_cast<const uint8_t*>(archive.data()), archive.size());
    // Listed by its path below the update folder, where the descriptor lives.
    listed->push_back({relative.substr(std::string(kUpdateFolder).size() + 1), archive.size(),
                       Sha256Hex(archive.data(), archive.size())});
    if (!WriteWhole(target.string() + ".hash", hash.data(), hash.size())) {
        *error = "cannot write " + target.string() + ".hash";
        return false;
    }
    std::string base = options.baseUrl;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    *url = base + "/" + relative;
    *hashUrl = *url + ".hash";
    if (hashUrl->size() > kMaxAddress) {
        *error = "address longer than " + std::to_string(kMaxAddress) + " characters: " + *hashUrl;
        return false;
    }
    return true;
}

// The manifest vouching for the descriptor and every archive, and its signature beside it.
bool WriteManifest(const PublishOptions& options, const std::string& privateKey,
                   const std::string& descriptor, const std::vector<CManifestEntry>& listed,
                   std::string* error) {
    const fs::path folder = fs::path(options.outputFolder) / kUpdateFolder;
    const fs::path path = folder / kUpdateManifestName;
    CUpdateManifest manifest;
    manifest.version = options.manifestVersion;
    if (manifest.version == 0) {
        std::string previousText;
        CUpdateManifest previous;
        std::string ignored;
        manifest.version = ReadWhole(path.string(), &previousText) &&
                                   ParseManifest(previousText, &previous, &ignored)
                               ? previous.version + 1
                               : 1;
    }
    manifest.expires = static_cast<int64_t>(std::time(nullptr)) +
                       static_cast<int64_t>(options.expiresDays) * 86400;
    manifest.offer = options.version;
    manifest.document = {kDescriptorName, descriptor.size(),
                         Sha256Hex(descriptor.data(), descriptor.size())};
    manifest.files = listed;
    const std::string text = FormatManifest(manifest);
    std::string signature;
    if (!SignData(privateKey, text, &signature, error)) {
        *error = options.signingKey + ": " + *error;
        return false;
    }
    if (!WriteWhole(path, text.data(), text.size()) ||
        !WriteWhole(path.string() + kUpdateSignaturesSuffix, signature.data(), signature.size())) {
        *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

std::string Attribute(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + XmlEncodeEntities(value) + "\"";
}

// One entry of a game's file list: its address, the name the downloaded file gets (the address's
// last segment) and the publisher's file of that name among files.
struct ListEntry {
    std::string url;
    std::string name;
    std::string path;
};

// The entries of list, each with its file; false with *error set when an entry does not end in a
// plain name, two entries or two files share a name, an entry has no file, a file no entry, or
// the list names nothing.
bool ReadListEntries(const std::string& list, const std::vector<std::string>& files,
                     std::vector<ListEntry>* entries, std::string* error) {
    // The files by the name each is given on the hosts' disk.
    std::set<std::string> given;
    for (const std::string& file : files) {
        if (!given.insert(fs::path(file).filename().string()).second) {
            *error = "two files are called " + fs::path(file).filename().string();
            return false;
        }
    }
    std::set<std::string> listed;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        end = end == std::string::npos ? list.size() : end;
        std::string url = list.substr(start, end - start);
        start = end + 1;
        const size_t first = url.find_first_not_of(" \t\r\v\f");
        if (first == std::string::npos) {
            continue;
        }
        url = url.substr(first, url.find_last_not_of(" \t\r\v\f") - first + 1);
        // The library names a downloaded file by the last segment of its URL.
        const size_t slash = url.rfind('/');
        const std::string name = slash == std::string::npos ? "" : url.substr(slash + 1);
        if (!IsWellFormedManifestPath(name) || name.find('/') != std::string::npos) {
            *error = "the entry " + url + " does not end in a plain file name";
            return false;
        }
        if (!listed.insert(name).second) {
            *error = "two entries of the list are called " + name;
            return false;
        }
        std::string path;
        for (const std::string& file : files) {
            if (fs::path(file).filename().string() == name) {
                path = file;
            }
        }
        if (path.empty()) {
            *error = "no file given for the entry " + url;
            return false;
        }
        entries->push_back({url, name, path});
    }
    if (entries->empty()) {
        *error = "the file list names no file";
        return false;
    }
    for (const std::string& name : given) {
        if (listed.count(name) == 0) {
            *error = name + " is not named by the file list";
            return false;
        }
    }
    return true;
}

}  // namespace

bool Publish(const PublishOptions& options, std::string* error) {
    const std::string base = options.baseUrl;
    if (base.rfind("http://", 0) != 0 && base.rfind("https://", 0) != 0) {
        *error = "the base URL must begin with http:// or https://";
        return false;
    }
    if (base.rfind("http://", 0) == 0 && !options.forTest) {
        *error =
            "a plain-http base URL can be forged by anyone on the way; use https:// "
            "(or --for-test for a test server)";
        return false;
    }
    if (options.expiresDays < 1 || options.expiresDays > 3650) {
        *error = "--expires takes 1 to 3650 days";
        return false;
    }
    std::string privateKey;
    if (!options.signingKey.empty() && !ReadWhole(options.signingKey, &privateKey)) {
        *error = "cannot read the key " + options.signingKey;
        return false;
    }
    // A key that cannot sign is found out before anything is written.
    if (std::string probe; !privateKey.empty() && !SignData(privateKey, "probe", &probe, error)) {
        *error = options.signingKey + ": " + *error;
        return false;
    }
    if (options.version.empty()) {
        *error = "the engine program carries no version";
        return false;
    }
    std::vector<Member> members;
    std::set<std::string> names;
    for (const std::string& path : [&] {
             std::vector<std::string> all{options.program};
             all.insert(all.end(), options.extras.begin(), options.extras.end());
             return all;
         }()) {
        const std::string name = fs::path(path).filename().string();
        if (!UsableAsElementName(name)) {
            *error = "the file name cannot name a descriptor element: " + name;
            return false;
        }
        if (!names.insert(name).second) {
            *error = "two files are called " + name;
            return false;
        }
        if (!fs::is_regular_file(path)) {
            *error = "not a file: " + path;
            return false;
        }
        members.push_back({path, name});
    }

    const std::string extension = options.format == PackageFormat::kZip ? ".zip" : ".7z";
    const std::string folder = kUpdateFolder;
    // Checked before anything is written: the longest address is a file's hash document.
    for (const Member& member : members) {
        const std::string longest =
            base + "/" + folder + "/file/" + member.name + extension + ".hash";
        if (longest.size() > kMaxAddress) {
            *error =
                "address longer than " + std::to_string(kMaxAddress) + " characters: " + longest;
            return false;
        }
    }
    std::string packageUrl;
    std::string packageHash;
    std::vector<CManifestEntry> listed;
    if (!WriteDownload(options, folder + "/all/" + members[0].name + extension, members,
                       &packageUrl, &packageHash, &listed, error)) {
        return false;
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tevdownload>\n  <all><all" +
                      Attribute("url", packageUrl) + Attribute("hash", packageHash) +
                      "/></all>\n  <file>\n";
    for (size_t i = 0; i < members.size(); ++i) {
        std::string url;
        std::string hashUrl;
        if (!WriteDownload(options, folder + "/file/" + members[i].name + extension, {members[i]},
                           &url, &hashUrl, &listed, error)) {
            return false;
        }
        xml += "    <" + members[i].name;
        if (i == 0) {
            xml += Attribute("ver", options.version);
        }
        xml += Attribute("url", url) + Attribute("hash", hashUrl) + "/>\n";
    }
    xml += "  </file>\n</tevdownload>\n";
    const fs::path descriptor = fs::path(options.outputFolder) / folder / kDescriptorName;
    if (!WriteWhole(descriptor, xml.data(), xml.size())) {
        *error = "cannot write " + descriptor.string();
        return false;
    }
    if (privateKey.empty()) {
        // A manifest from an earlier signed run would no longer match the descriptor.
        const fs::path manifest = fs::path(options.outputFolder) / folder / kUpdateManifestName;
        std::error_code ignored;
        fs::remove(manifest, ignored);
        fs::remove(manifest.string() + kUpdateSignaturesSuffix, ignored);
        return true;
    }
    return WriteManifest(options, privateKey, xml, listed, error);
}

bool PublishListManifest(const ListPublishOptions& options, std::string* error) {
    if (options.expiresDays < 1 || options.expiresDays > 3650) {
        *error = "--expires takes 1 to 3650 days";
        return false;
    }
    std::string privateKey;
    if (options.signingKey.empty() || !ReadWhole(options.signingKey, &privateKey)) {
        *error = options.signingKey.empty() ? "a file list is signed: --key is needed"
                                            : "cannot read the key " + options.signingKey;
        return false;
    }
    std::string list;
    if (!ReadWhole(options.list, &list) || list.empty()) {
        *error = "cannot read the file list " + options.list;
        return false;
    }
    CUpdateManifest manifest;
    manifest.document = {fs::path(options.list).filename().string(), list.size(),
                         Sha256Hex(list.data(), list.size())};
    if (!IsWellFormedManifestPath(manifest.document.path)) {
        *error = "the list's file name is not a plain name: " + manifest.document.path;
        return false;
    }
    std::vector<ListEntry> entries;
    if (!ReadListEntries(list, options.files, &entries, error)) {
        return false;
    }
    for (const ListEntry& entry : entries) {
        if (entry.name == manifest.document.path) {
            *error = "two entries of the list are called " + entry.name;
            return false;
        }
        std::string data;
        if (!ReadWhole(entry.path, &data)) {
            *error = "cannot read " + entry.path;
            return false;
        }
        manifest.files.push_back({entry.name, data.size(), Sha256Hex(data.data(), data.size())});
    }
    if (manifest.files.size() > kMaxManifestFiles) {
        *error = "a manifest lists at most " + std::to_string(kMaxManifestFiles) + " files";
        return false;
    }
    const std::string path = options.list + kListManifestSuffix;
    manifest.version = options.manifestVersion;
    if (manifest.version == 0) {
        std::string previousText;
        CUpdateManifest previous;
        std::string ignored;
        manifest.version =
            ReadWhole(path, &previousText) && ParseManifest(previousText, &previous, &ignored)
                ? previous.version + 1
                : 1;
    }
    manifest.expires = static_cast<int64_t>(std::time(nullptr)) +
                       static_cast<int64_t>(options.expiresDays) * 86400;
    const std::string text = FormatManifest(manifest);
    std::string signature;
    if (!SignData(privateKey, text, &signature, error)) {
        *error = options.signingKey + ": " + *error;
        return false;
    }
    if (!WriteWhole(path, text.data(), text.size()) ||
        !WriteWhole(options.list + kListSignaturesSuffix, signature.data(), signature.size())) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

bool PublishTorrents(const TorrentPublishOptions& options, std::vector<PublishedTorrent>* written,
                     std::string* error) {
    std::string list;
    if (!ReadWhole(options.list, &list) || list.empty()) {
        *error = "cannot read the file list " + options.list;
        return false;
    }
    std::vector<ListEntry> entries;
    if (!ReadListEntries(list, options.files, &entries, error)) {
        return false;
    }
    // Every address is judged before any torrent is written: a refused list changes nothing.
    for (const ListEntry& entry : entries) {
        if (entry.url.rfind("https://", 0) != 0 && entry.url.rfind("http://", 0) != 0) {
            *error = "the entry " + entry.url + " is not an http:// or https:// address";
            return false;
        }
        // The engine takes pieces only from a torrent it fetched as safely as the file; over
        // plain http anyone on the way could swap the torrent's hashes with the file.
        if (entry.url.rfind("http://", 0) == 0 && !options.forTest) {
            *error = "the entry " + entry.url +
                     " is plain http, whose torrent anyone on the way can forge; use https:// "
                     "(or --for-test for a test server)";
            return false;
        }
    }
    // All made before any is written: a file that cannot be hashed leaves the folder as it was.
    std::vector<std::string> torrents;
    for (const ListEntry& entry : entries) {
        torrents.push_back(MakeTorrent(entry.path, entry.url, options.trackers, error));
        if (torrents.back().empty()) {
            return false;
        }
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const ListEntry& entry = entries[i];
        const std::string& torrent = torrents[i];
        // Written aside and renamed, so that a server never serves half a torrent.
        const std::string path = entry.path + kTorrentSuffix;
        std::string temporary = path + ".XXXXXX";
        const int fd = mkstemp(temporary.data());
        if (fd < 0) {
            *error = "cannot write " + path;
            return false;
        }
        size_t done = 0;
        while (done < torrent.size()) {
            const ssize_t n = write(fd, torrent.data() + done, torrent.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        // Served by a web server running as another user: readable by all, like the file.
        const bool complete = done == torrent.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
        const bool closed = close(fd) == 0;
        if (!complete || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
            unlink(temporary.c_str());
            *error = "cannot write " + path;
            return false;
        }
        written->push_back({path, TorrentInfoHashHex(torrent)});
    }
    return true;
}

bool GenerateKeyFiles(const std::string& privatePath, const std::string& publicPath,
                      std::string* error) {
    std::string privatePem;
    std::string publicPem;
    if (!GenerateSigningKey(&privatePem, &publicPem)) {
        *error = "cannot make an Ed25519 key";
        return false;
    }
    const int fd =
        open(privatePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot create " + privatePath + " (an existing key is never replaced)";
        return false;
    }
    const bool written = fchmod(fd, 0600) == 0 &&
                         write(fd, privatePem.data(), privatePem.size()) ==
                             static_cast<ssize_t>(privatePem.size()) &&
                         fsync(fd) == 0;
    close(fd);
    if (!written || !WriteWhole(publicPath, publicPem.data(), publicPem.size())) {
        *error = "cannot write the key files";
        return false;
    }
    return true;
}

}  // namespace tev::tools
