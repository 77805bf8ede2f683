// Reads zip archives held in memory through the minizip unzip reader.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

// Result codes of the reader.
constexpr uint32_t ZR_OK = 0;
constexpr uint32_t ZR_NOFILE = 0x200;     // the target file cannot be created
constexpr uint32_t ZR_WRITE = 0x400;      // writing the target failed
constexpr uint32_t ZR_NOTFOUND = 0x700;   // the entry cannot be located
constexpr uint32_t ZR_READ = 0x800;       // reading the archive failed
constexpr uint32_t ZR_PASSWORD = 0x1000;  // the entry is encrypted
constexpr uint32_t ZR_ARGS = 0x10000;     // index out of range, or the reader is closed
constexpr uint32_t ZR_FLATE = 0x5000000;  // decompression failed or the data is corrupt

// Windows attribute bits of an entry.
constexpr uint32_t kZipAttributeReadOnly = 0x01;
constexpr uint32_t kZipAttributeHidden = 0x02;
constexpr uint32_t kZipAttributeSystem = 0x04;
constexpr uint32_t kZipAttributeFolder = 0x10;
constexpr uint32_t kZipAttributeArchive = 0x20;

class CExtractBatch;

struct ZipEntry {
    // For index -1 (the archive as a whole): the number of entries, and nothing else.
    int index = -1;
    std::string name;  // sanitised; '/' or '\' separated
    uint32_t attributes = 0;
    mode_t unixMode = 0;  // the entry's Unix mode when its archive records one, else 0
    time_t accessTime = 0;
    time_t creationTime = 0;
    time_t writeTime = 0;
    int64_t compressedSize = 0;
    int64_t uncompressedSize = 0;

    bool IsFolder() const { return (attributes & kZipAttributeFolder) != 0; }
    bool IsSymbolicLink() const { return (unixMode & S_IFMT) == S_IFLNK; }
};

class CZipReader {
  public:
    static constexpr size_t kCopyBufferSize = 16384;

    // Reads the archive in place: the bytes must outlive the reader. Null when they do not
    // hold a zip archive.
    static std::unique_ptr<CZipReader> Open(const void* data, uint64_t length);
    ~CZipReader();
    CZipReader(const CZipReader&) = delete;
    CZipReader& operator=(const CZipReader&) = delete;

    uint32_t GetEntry(int index, ZipEntry* entry);
    // Writes the entry to target (a folder entry: creates it), replacing any existing file, and
    // gives it the entry's mode and times. A file that fails half way is removed.
    uint32_t ExtractEntry(int index, const std::string& target);
    // The same into batch: the bytes count against its budget and the file waits there, whole,
    // for the batch to put it in place (ZR_WRITE once the budget is spent).
    uint32_t ExtractEntry(int index, const std::string& target, CExtractBatch* batch);
    void Close();

  private:
    struct Impl;
    explicit CZipReader(std::unique_ptr<Impl> impl);

    uint32_t GoTo(int index);
    uint32_t CopyCurrentEntry(const ZipEntry& entry, const std::string& target,
                              CExtractBatch* batch);

    std::unique_ptr<Impl> impl_;
};
