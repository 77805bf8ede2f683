#include "archive_builders.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::string TestFolder(const std::string& name) {
    const std::string path = std::string(std::getenv("HOME")) + "/" + name;
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& item : fs::directory_iterator(folder, ignored)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

Bytes ReadBytes(const std::string& path) {
    const std::string text = ReadFile(path);
    return Bytes(text.begin(), text.end());
}

std::string ScratchFile(const char* name) {
    return std::string(std::getenv("HOME")) + "/" + name;
}

}  // namespace

Bytes BuildZip(const std::vector<ZipItem>& items) {
    const std::string path = ScratchFile("built.zip");
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    EXPECT_NE(zip, nullptr);
    for (const ZipItem& item : items) {
        zip_fileinfo info{};
        info.dosDate = item.dosDate;
        info.external_fa = item.externalAttributes;
        const int opened = zipOpenNewFileInZip4_64(
            zip, item.name.c_str(), &info, nullptr, 0,
            item.centralExtra.empty() ? nullptr : item.centralExtra.data(),
            static_cast<uInt>(item.centralExtra.size()), nullptr, item.stored ? 0 : Z_DEFLATED,
            item.stored ? 0 : Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
            Z_DEFAULT_STRATEGY, nullptr, 0, static_cast<uLong>(item.host << 8 | 20),
            item.encrypted ? 1 : 0, 0);
        EXPECT_EQ(opened, ZIP_OK) << item.name;
        zipWriteInFileInZip(zip, item.data.data(), static_cast<unsigned>(item.data.size()));
        zipCloseFileInZip(zip);
    }
    zipClose(zip, nullptr);
    Bytes bytes = ReadBytes(path);
    fs::remove(path);
    return bytes;
}

Bytes BuildSevenZip(const std::vector<SevenZipItem>& items) {
    const std::string path = ScratchFile("built.7z");
    struct archive* writer = archive_write_new();
    archive_write_set_format_7zip(writer);
    EXPECT_EQ(archive_write_open_filename(writer, path.c_str()), ARCHIVE_OK);
    for (const SevenZipItem& item : items) {
        struct archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.name.c_str());
        archive_entry_set_perm(entry, item.perm);
        switch (item.kind) {
            case SevenZipKind::kFile:
                archive_entry_set_filetype(entry, AE_IFREG);
                archive_entry_set_size(entry, static_cast<la_int64_t>(item.data.size()));
                break;
            case SevenZipKind::kFolder:
                archive_entry_set_filetype(entry, AE_IFDIR);
                break;
            case SevenZipKind::kSymbolicLink:
                archive_entry_set_filetype(entry, AE_IFLNK);
                archive_entry_set_symlink(entry, item.data.c_str());
                break;
        }
        EXPECT_EQ(archive_write_header(writer, entry), ARCHIVE_OK) << item.name;
        if (item.kind == SevenZipKind::kFile) {
            archive_write_data(writer, item.data.data(), item.data.size());
        }
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    Bytes bytes = ReadBytes(path);
    fs::remove(path);
    return bytes;
}

bool RunTool(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string SevenZipTool() {
    return RunTool("command -v 7zz") ? "7zz" : "7z";
}
