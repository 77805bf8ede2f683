#include "archive/zip_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>

#include <cstring>
#include <vector>

#include "archive/extract_target.h"

namespace {

// The archive bytes as a minizip stream.
struct MemoryStream {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    uint64_t position = 0;
};

voidpf ZCALLBACK OpenStream(voidpf opaque, const void*, int mode) {
    if ((mode & ZLIB_FILEFUNC_MODE_WRITE) != 0) {
        return nullptr;
    }
    auto* stream = static_cast<MemoryStream*>(opaque);
    stream->position = 0;
    return stream;
}

uLong ZCALLBACK ReadStream(voidpf, voidpf handle, void* buffer, uLong size) {
    auto* stream = static_cast<MemoryStream*>(handle);
    const uint64_t left = stream->size - stream->position;
    const uLong count = left < size ? static_cast<uLong>(left) : size;
    std::memcpy(buffer, stream->data + stream->position, count);
    stream->position += count;
    return count;
}

uLong ZCALLBACK WriteStream(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK TellStream(voidpf, voidpf handle) {
    return static_cast<MemoryStream*>(handle)->position;
}

long ZCALLBACK SeekStream(voidpf, voidpf handle, ZPOS64_T offset, int origin) {
    auto* stream = static_cast<MemoryStream*>(handle);
    // minizip moves back from the current position with a negative offset in two's complement.
    const auto delta = static_cast<int64_t>(offset);
    int64_t base = 0;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            if (offset > stream->size) {
                return -1;
            }
            stream->position = offset;
            return 0;
        case ZLIB_FILEFUNC_SEEK_CUR:
            base = static_cast<int64_t>(stream->position);
            break;
        case ZLIB_FILEFUNC_SEEK_END:
            base = static_cast<int64_t>(stream->size);
            break;
        default:
            return -1;
    }
    const auto size = static_cast<int64_t>(stream->size);
    if ((delta < 0 && delta < -base) || (delta > 0 && delta > size - base)) {
        return -1;
    }
    stream->position = static_cast<uint64_t>(base + delta);
    return 0;
}

int ZCALLBACK CloseStream(voidpf, voidpf) {
    return 0;
}

int ZCALLBACK StreamError(voidpf, voidpf) {
    return 0;
}

// Hosts whose external attributes hold Windows attribute bits: FAT, VFAT, NTFS, and OS/2 HPFS
// (one of the hosts older tools record).
bool HostUsesWindowsAttributes(int host) {
    return host == 0 || host == 7 || host == 11 || host == 14;
}

// A DOS date and time (date in the high 16 bits) taken as local time.
time_t DosTimeToUnix(uLong dosDate) {
    const auto date = static_cast<int>(dosDate >> 16);
    const auto time = static_cast<int>(dosDate & 0xFFFF);
    struct tm local {};
    local.tm_year = 1980 + ((date >> 9) & 0x7F) - 1900;
    local.tm_mon = ((date >> 5) & 0x0F) - 1;
    local.tm_mday = date & 0x1F;
    local.tm_hour = (time >> 11) & 0x1F;
    local.tm_min = (time >> 5) & 0x3F;
    local.tm_sec = 2 * (time & 0x1F);
    local.tm_isdst = -1;
    return mktime(&local);
}

uint32_t ReadLittle32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Applies the times of the first "UT" block of the extra field: flag bit 0 the last write,
// bit 1 the last access, bit 2 the creation, each a 4-byte Unix time present only when its bit
// is set. Times the block announces but does not hold are left alone.
void ApplyExtendedTimes(const std::vector<uint8_t>& extra, ZipEntry* entry) {
    size_t pos = 0;
    while (pos + 4 <= extra.size()) {
        const size_t size = extra[pos + 2] | static_cast<size_t>(extra[pos + 3]) << 8;
        const size_t data = pos + 4;
        const size_t dataEnd = data + size < extra.size() ? data + size : extra.size();
        if (extra[pos] == 'U' && extra[pos + 1] == 'T') {
            if (data >= dataEnd) {
                return;
            }
            const uint8_t flags = extra[data];
            size_t p = data + 1;
            time_t* const targets[3] = {&entry->writeTime, &entry->accessTime,
                                        &entry->creationTime};
            for (int bit = 0; bit < 3; ++bit) {
                if ((flags & (1u << bit)) == 0) {
                    continue;
                }
                if (p + 4 > dataEnd) {
                    return;
                }
                *targets[bit] = static_cast<time_t>(ReadLittle32(&extra[p]));
                p += 4;
            }
            return;
        }
        pos = data + size;
    }
}

// The mode a new file gets: the entry's Unix permissions when it has them, else read-write or
// read-only from its attributes.
mode_t FileMode(const ZipEntry& entry) {
    if ((entry.unixMode & 0777) != 0) {
        return entry.unixMode & 0777;
    }
    return (entry.attributes & kZipAttributeReadOnly) != 0 ? 0444 : 0666;
}

}  // namespace

struct CZipReader::Impl {
    MemoryStream stream;
    unzFile file = nullptr;
    uint64_t entryCount = 0;
    int current = -1;  // the entry minizip stands on, or -1
    ZipEntry last;     // the entry read last, so that asking again reads nothing
    bool haveLast = false;
    std::unique_ptr<uint8_t[]> copyBuffer;
};

std::unique_ptr<CZipReader> CZipReader::Open(const void* data, uint64_t length) {
    if (data == nullptr || length == 0) {
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->stream.data = static_cast<const uint8_t*>(data);
    impl->stream.size = length;

    zlib_filefunc64_def functions{};
    functions.zopen64_file = OpenStream;
    functions.zread_file = ReadStream;
    functions.zwrite_file = WriteStream;
    functions.ztell64_file = TellStream;
    functions.zseek64_file = SeekStream;
    functions.zclose_file = CloseStream;
    functions.zerror_file = StreamError;
    functions.opaque = &impl->stream;
    impl->file = unzOpen2_64("memory", &functions);
    if (impl->file == nullptr) {
        return nullptr;
    }
    unz_global_info64 info{};
    if (unzGetGlobalInfo64(impl->file, &info) != UNZ_OK) {
        unzClose(impl->file);
        return nullptr;
    }
    impl->entryCount = info.number_entry;
    impl->current = 0;  // opening stands on the first entry
    return std::unique_ptr<CZipReader>(new CZipReader(std::move(impl)));
}

CZipReader::CZipReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CZipReader::~CZipReader() {
    Close();
}

void CZipReader::Close() {
    if (impl_ != nullptr && impl_->file != nullptr) {
        unzClose(impl_->file);
        impl_->file = nullptr;
    }
}

uint32_t CZipReader::GoTo(int index) {
    Impl& s = *impl_;
    if (s.current < 0 || index < s.current) {
        if (unzGoToFirstFile(s.file) != UNZ_OK) {
            s.current = -1;
            return ZR_NOTFOUND;
        }
        s.current = 0;
    }
    while (s.current < index) {
        if (unzGoToNextFile(s.file) != UNZ_OK) {
            s.current = -1;
            return ZR_NOTFOUND;
        }
        ++s.current;
    }
    return ZR_OK;
}

uint32_t CZipReader::GetEntry(int index, ZipEntry* entry) {
    if (impl_ == nullptr || impl_->file == nullptr || entry == nullptr || index < -1 ||
        (index >= 0 && static_cast<uint64_t>(index) >= impl_->entryCount)) {
        return ZR_ARGS;
    }
    Impl& s = *impl_;
    if (index == -1) {
        *entry = ZipEntry{};
        entry->index = static_cast<int>(s.entryCount > INT32_MAX ? INT32_MAX : s.entryCount);
        return ZR_OK;
    }
    if (s.haveLast && s.last.index == index) {
        *entry = s.last;
        return ZR_OK;
    }
    s.haveLast = false;
    if (const uint32_t code = GoTo(index); code != ZR_OK) {
        return code;
    }

    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(s.file, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return ZR_READ;
    }
    std::vector<char> name(info.size_filename + 1, '\0');
    std::vector<uint8_t> extra(info.size_file_extra);
    if (unzGetCurrentFileInfo64(s.file, &info, name.data(), name.size(), extra.data(), extra.size(),
                                nullptr, 0) != UNZ_OK) {
        return ZR_READ;
    }

    ZipEntry e;
    e.index = index;
    const std::string_view rawName(name.data());
    e.name = SanitiseZipEntryName(rawName);
    const int host = static_cast<int>(info.version >> 8);
    if (HostUsesWindowsAttributes(host)) {
        e.attributes = static_cast<uint32_t>(info.external_fa & 0x37);
    } else {
        e.unixMode = static_cast<mode_t>(info.external_fa >> 16);
        e.attributes = kZipAttributeArchive;
        if ((e.unixMode & 0x4000) != 0) {
            e.attributes |= kZipAttributeFolder;
        }
        if ((e.unixMode & 0x80) == 0) {
            e.attributes |= kZipAttributeReadOnly;
        }
    }
    // Some writers mark folders only by the trailing separator of their name.
    if (!rawName.empty() && (rawName.back() == '/' || rawName.back() == '\\')) {
        e.attributes |= kZipAttributeFolder;
    }
    e.accessTime = e.creationTime = e.writeTime = DosTimeToUnix(info.dosDate);
    ApplyExtendedTimes(extra, &e);
    e.compressedSize = static_cast<int64_t>(info.compressed_size);
    e.uncompressedSize = static_cast<int64_t>(info.uncompressed_size);

    s.last = e;
    s.haveLast = true;
    *entry = std::move(e);
    return ZR_OK;
}

uint32_t CZipReader::ExtractEntry(int index, const std::string& target) {
    return ExtractEntry(index, target, nullptr);
}

uint32_t CZipReader::ExtractEntry(int index, const std::string& target, CExtractBatch* batch) {
    ZipEntry entry;
    if (const uint32_t code = GetEntry(index, &entry); code != ZR_OK) {
        return code;
    }
    if (index < 0 || target.empty()) {
        return ZR_ARGS;
    }
    if (entry.IsFolder()) {
        CreateFolderPath(target);
        return ZR_OK;
    }
    if (const size_t slash = target.find_last_of("/\\"); slash != std::string::npos && slash > 0) {
        CreateFolderPath(target.substr(0, slash));
    }
    if (const uint32_t code = GoTo(index); code != ZR_OK) {
        return code;
    }
    return CopyCurrentEntry(entry, target, batch);
}

uint32_t CZipReader::CopyCurrentEntry(const ZipEntry& entry, const std::string& target,
                                      CExtractBatch* batch) {
    Impl& s = *impl_;
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(s.file, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return ZR_READ;
    }
    if ((info.flag & 1) != 0) {
        return ZR_PASSWORD;  // this program has no password to give
    }
    if (unzOpenCurrentFile(s.file) != UNZ_OK) {
        return ZR_READ;
    }
    CReplacingFile own;
    CReplacingFile* opened = batch != nullptr
                                 ? batch->Open(target, FileMode(entry))
                                 : (own.Open(target, FileMode(entry)) ? &own : nullptr);
    if (opened == nullptr) {
        unzCloseCurrentFile(s.file);
        return ZR_NOFILE;
    }
    CReplacingFile& file = *opened;
    if (s.copyBuffer == nullptr) {
        s.copyBuffer = std::make_unique<uint8_t[]>(kCopyBufferSize);
    }
    uint32_t code = ZR_OK;
    while (true) {
        const int n = unzReadCurrentFile(s.file, s.copyBuffer.get(), kCopyBufferSize);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            code = ZR_FLATE;
            break;
        }
        if ((batch != nullptr && !batch->Spend(static_cast<uint64_t>(n))) ||
            !file.Write(s.copyBuffer.get(), static_cast<size_t>(n))) {
            code = ZR_WRITE;
            break;
        }
    }
    // Closing checks the CRC: a corrupt entry must not pass for a good file.
    if (unzCloseCurrentFile(s.file) != UNZ_OK && code == ZR_OK) {
        code = ZR_FLATE;
    }
    if (code == ZR_OK) {
        const struct timespec times[2] = {{entry.accessTime, 0}, {entry.writeTime, 0}};
        futimens(file.Descriptor(), times);
        if (batch == nullptr ? !file.Commit() : !file.Finish()) {
            code = ZR_WRITE;
        }
    }
    // Anything short of a commit leaves the old file in place (the temporary one goes).
    return code;
}
