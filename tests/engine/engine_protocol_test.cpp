// The engine protocol codec: bytes pinned from the protocol's layouts, every record through a
// round trip, and payloads that end too early or lie about their counts refused without a read
// past their end (ASan watches the exact-size copies).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_protocol.h"

namespace ep = engine_protocol;

namespace {

using std::string_literals::operator""s;

// Wire pieces written out by hand, independent of the codec.
std::string U16(uint16_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}
std::string U32(uint32_t v) {
    return U16(static_cast<uint16_t>(v)) + U16(static_cast<uint16_t>(v >> 16));
}
std::string U64(uint64_t v) {
    return U32(static_cast<uint32_t>(v)) + U32(static_cast<uint32_t>(v >> 32));
}
std::string Field(const std::string& text, size_t size) {
    return text + std::string(size - text.size(), '\0');
}
std::string Zeros(size_t n) {
    return std::string(n, '\0');
}
std::string AsString(const ep::Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The payload in a heap block of exactly its size, so a read past it is caught.
template <typename Record>
bool DecodeExact(const std::string& payload, Record* record) {
    std::vector<uint8_t> exact(payload.begin(), payload.end());
    return ep::Decode(exact.empty() ? nullptr : exact.data(), exact.size(), record);
}

template <typename Record>
std::string Encoded(const Record& record) {
    ep::Bytes payload;
    EXPECT_TRUE(ep::Encode(record, &payload));
    return AsString(payload);
}

const std::string kUrl20 = "http://h/f/a.bin?x=1";  // 20 bytes

ep::FileRecord File20() {
    ep::FileRecord f;
    f.option1 = 1;
    f.option2 = 2;
    f.folder = "/home/u/QK/";
    f.name = "setup.bin";
    f.url = kUrl20;
    return f;
}

TEST(EngineProtocolBytes, JobModeFrameIs32BytesWithLength18) {
    ep::Bytes frame;
    ASSERT_TRUE(ep::EncodeFrame(ep::JobMode{2}, &frame));
    const std::string expected =
        "\x00\x01"s + "\x00\x00"s + Zeros(6) + "\x12\x00\x00\x00"s + "\x02"s + Zeros(16) + Zeros(1);
    ASSERT_EQ(expected.size(), 32u);
    EXPECT_EQ(AsString(frame), expected);
}

TEST(EngineProtocolBytes, WholeFileListOfOneFileIs592InItsOwnCategory) {
    ep::FileList list;
    list.job = 7;
    list.serviceId = "wistrel_Thornquill_tw";
    list.files = {File20()};
    list.files[0].size = UINT64_MAX;
    ep::Bytes frame;
    ASSERT_TRUE(ep::EncodeFrame(list, &frame));

    const std::string payload = U32(7) + U32(1) + Field("wistrel_Thornquill_tw", 33) + "\x01\x02"s +
                                std::string(8, '\xff') + Field("/home/u/QK/", 260) +
                                Field("setup.bin", 260) + kUrl20 + '\0';
    ASSERT_EQ(payload.size(), 592u);
    // 14 + 592 = 606, padded to 608: the length field says 594.
    const std::string expected = "\x02\x01"s + U16(14) + Zeros(6) + U32(594) + payload + Zeros(2);
    EXPECT_EQ(AsString(frame), expected);
    EXPECT_EQ(ep::FileListPayloadSize(list.files), 592u);
}

TEST(EngineProtocolBytes, FileListEntryIs560WithA16BitUrlLength) {
    ep::FileListEntry entry;
    entry.job = 7;
    entry.index = 3;
    entry.file = File20();
    entry.file.size = 0x0102030405060708ull;
    const std::string expected = U32(7) + U32(3) + "\x01\x02"s +
                                 "\x08\x07\x06\x05\x04\x03\x02\x01"s + Field("/home/u/QK/", 260) +
                                 Field("setup.bin", 260) + "\x14\x00"s + kUrl20;
    ASSERT_EQ(expected.size(), 560u);
    EXPECT_EQ(Encoded(entry), expected);
}

TEST(EngineProtocolBytes, SmallLibraryMessages) {
    EXPECT_EQ(Encoded(ep::JobCode{"ABC"}), Field("ABC", 20));
    EXPECT_EQ(Encoded(ep::StopJob{5, 0x11223344}), "\x05\x00\x00\x00\x44\x33\x22\x11"s);
    EXPECT_EQ(Encoded(ep::ServiceId{"velmor"}), Field("velmor", 260));
    EXPECT_EQ(Encoded(ep::JobFlag{5, 6, 9}), U32(5) + U32(6) + "\x09"s);
    EXPECT_EQ(Encoded(ep::EngineOption{5}), U32(5));
    EXPECT_EQ(Encoded(ep::ResumeReply{6, 5, 1, 0}), U32(6) + U32(5) + "\x01\x00"s);
    EXPECT_EQ(Encoded(ep::FileListBegin{5, 900, "svc"}), U32(5) + U32(900) + Field("svc", 33));
    EXPECT_EQ(Encoded(ep::FileListEnd{5}), U32(5));
    EXPECT_EQ(Encoded(ep::StateRequest{}), "");
    ep::Bytes frame;
    ASSERT_TRUE(ep::EncodeFrame(ep::StateRequest{}, &frame));
    EXPECT_EQ(AsString(frame), "\x00\x01\x16\x00"s + Zeros(6) + U32(2) + Zeros(2));
}

std::string ProgressHeader(uint32_t entries) {
    return U32(9) + U32(0x900) + U32(0xdead) + U32(4) + U32(2) + U64(1000000) + U64(250000) +
           U32(4096) + U32(0xbeef) + U64(61) + std::string(8, '\x7f') + U32(entries);
}

std::string ProgressEntryBytes(const std::string& name, uint64_t size, uint64_t present,
                               uint32_t speed, const std::string& text) {
    return Field(name, 33) + U64(size) + U64(present) + U32(speed) + std::string(12, '\x55') +
           text + '\0';
}

TEST(EngineProtocolBytes, ProgressWithoutEntries) {
    const std::string payload = ProgressHeader(0);
    ASSERT_EQ(payload.size(), 64u);
    ep::JobProgress p;
    ASSERT_TRUE(DecodeExact(payload + Zeros(2), &p));  // as framed: padded to 80
    EXPECT_EQ(p.job, 9u);
    EXPECT_EQ(p.engineJob, 0x900u);
    EXPECT_EQ(p.fileCount, 4u);
    EXPECT_EQ(p.filesCompleted, 2u);
    EXPECT_EQ(p.totalBytes, 1000000u);
    EXPECT_EQ(p.bytesPresent, 250000u);
    EXPECT_EQ(p.speed, 4096u);
    EXPECT_EQ(p.elapsedSeconds, 61u);
    EXPECT_TRUE(p.entries.empty());
}

TEST(EngineProtocolBytes, ProgressWithThreeEntries) {
    const std::string payload = ProgressHeader(3) + ProgressEntryBytes("a", 100, 10, 1, "/x/a") +
                                ProgressEntryBytes("b", 200, 20, 2, "") +
                                ProgressEntryBytes("c", 300, 300, 3, "/x/c");
    ep::JobProgress p;
    ASSERT_TRUE(DecodeExact(payload, &p));
    ASSERT_EQ(p.entries.size(), 3u);
    EXPECT_EQ(p.entries[0], (ep::ProgressEntry{"a", 100, 10, 1, "/x/a"}));
    EXPECT_EQ(p.entries[1], (ep::ProgressEntry{"b", 200, 20, 2, ""}));
    EXPECT_EQ(p.entries[2], (ep::ProgressEntry{"c", 300, 300, 3, "/x/c"}));

    // A count above the entries present is refused, as is an entry whose text runs off the end.
    EXPECT_FALSE(DecodeExact(ProgressHeader(4) + payload.substr(64), &p));
    EXPECT_FALSE(DecodeExact(payload.substr(0, payload.size() - 1), &p));
}

TEST(EngineProtocolBytes, CompletedFileTypes) {
    ep::FileCompleted done;
    ASSERT_TRUE(DecodeExact(U32(9) + U32(0x900) + Field("svc", 33) + Field("/d/a.bin", 260) +
                                "http://h/a.bin\0"s + Zeros(1),
                            &done));
    EXPECT_EQ(done, (ep::FileCompleted{9, 0x900, "svc", "/d/a.bin", "http://h/a.bin"}));

    ep::FileCompletedAt at;
    ASSERT_TRUE(DecodeExact(
        U32(9) + U32(0x900) + Field("", 33) + Field("/d/a.bin", 260) + Field("a.bin", 260) + "u\0"s,
        &at));
    EXPECT_EQ(at, (ep::FileCompletedAt{9, 0x900, "", "/d/a.bin", "a.bin", "u"}));
}

TEST(EngineProtocolBytes, VariableTextsFollowedBySixteenBytes) {
    ep::JobDiskStatus disk;
    const std::string diskBytes = U32(9) + U32(0x900) + "\x01"s + "/d\0"s + std::string(16, 'z');
    ASSERT_TRUE(DecodeExact(diskBytes, &disk));
    EXPECT_EQ(disk, (ep::JobDiskStatus{9, 0x900, 1, "/d"}));
    EXPECT_FALSE(DecodeExact(diskBytes.substr(0, diskBytes.size() - 1), &disk));

    ep::JobFailed failed;
    const std::string failedBytes = U32(9) + U32(77) + "no space\0"s + Zeros(16);
    ASSERT_TRUE(DecodeExact(failedBytes, &failed));
    EXPECT_EQ(failed, (ep::JobFailed{9, 77, "no space"}));
    // The message's NUL must be inside the payload: without it the 16 bytes cannot be found.
    EXPECT_FALSE(DecodeExact(U32(9) + U32(77) + "no space"s, &failed));

    // What the encoders write in the same places.
    EXPECT_EQ(Encoded(ep::JobDiskStatus{9, 0x900, 1, "/d"}), diskBytes.substr(0, 12) + Zeros(16));
    EXPECT_EQ(Encoded(ep::JobFailed{9, 77, "no space"}), failedBytes);
    EXPECT_EQ(Encoded(ep::NetworkPoor{}), Zeros(16));
    EXPECT_EQ(Encoded(ep::JobFinished{9, 0x900, 3, 1}),
              U32(9) + U32(0x900) + Zeros(4) + U32(3) + U32(1));
    EXPECT_EQ(Encoded(ep::JobAccepted{9, 0x900, 4, 5000000000ull}),
              U32(9) + U32(0x900) + U32(4) + U64(5000000000ull));
}

// ---- Round trip of every record, through framing and the direction decoders ----

ep::JobProgress SampleProgress() {
    ep::JobProgress p{1, 2, 3, 1, 900, 450, 77, 12, {}};
    p.entries = {{"setup.bin", 500, 250, 40, "/d/setup.bin"}, {"", 0, 0, 0, ""}};
    return p;
}

ep::FileList SampleList() {
    ep::FileList list{3, "svc", {File20(), File20()}};
    list.files[1].url = "http://a/x|http://b/x";
    list.files[1].size = 123;
    return list;
}

template <typename Message>
struct RoundTripCase {
    const char* name;
    Message message;
};

const std::vector<RoundTripCase<ep::LibraryMessage>> kLibraryCases = {
    {"job mode", ep::JobMode{1}},
    {"job code", ep::JobCode{std::string(19, 'c')}},
    {"empty code", ep::JobCode{""}},
    {"stop job", ep::StopJob{1, 0xFFFFFFFF}},
    {"service id", ep::ServiceId{std::string(259, 's')}},
    {"job flag", ep::JobFlag{1, 2, 255}},
    {"empty list", ep::FileList{4, "", {}}},
    {"list", SampleList()},
    {"engine option", ep::EngineOption{8}},
    {"resume reply", ep::ResumeReply{2, 1, 0, 1}},
    {"list begin", ep::FileListBegin{1, 0xFFFFFFFF, std::string(32, 'x')}},
    {"list entry", ep::FileListEntry{1, 2, File20()}},
    {"list entry, longest URL",
     ep::FileListEntry{1, 2, {0, 0, 1, "", "", std::string(65535, 'u')}}},
    {"list end", ep::FileListEnd{1}},
    {"state request", ep::StateRequest{}},
};

const std::vector<RoundTripCase<ep::EngineMessage>> kEngineCases = {
    {"accepted", ep::JobAccepted{1, 2, 3, UINT64_MAX}},
    {"progress", SampleProgress()},
    {"progress without entries", ep::JobProgress{1, 2, 3, 3, 9, 9, 0, 0, {}}},
    {"finished", ep::JobFinished{1, 2, 0xAABBCCDD, 1}},
    {"file completed", ep::FileCompleted{1, 2, "svc", std::string(259, 'p'), ""}},
    {"disk status", ep::JobDiskStatus{1, 2, 1, "/d"}},
    {"network poor", ep::NetworkPoor{}},
    {"network back", ep::NetworkBack{}},
    {"failed", ep::JobFailed{1, 2, "could not write"}},
    {"completed at", ep::FileCompletedAt{1, 2, "s", "/d/a", "", "http://h/a"}},
    {"resume query", ep::ResumeQuery{1}},
    {"state", ep::EngineState{3}},
};

// Encodes, frames, splits the frame off a stream and decodes it again; then checks that every
// shorter payload is refused.
template <typename Message, typename DecodeFn>
void CheckRoundTrip(const char* name, const Message& message, DecodeFn decode) {
    SCOPED_TRACE(name);
    ep::Bytes frame;
    ep::Bytes payload;
    std::visit(
        [&](const auto& record) {
            ASSERT_TRUE(ep::EncodeFrame(record, &frame));
            ASSERT_TRUE(ep::Encode(record, &payload));
        },
        message);
    ASSERT_EQ(frame.size() % 8, 0u);

    ep::Bytes stream = frame;
    stream.push_back(0x00);  // the start of a next frame stays unread
    ep::FrameHeader header;
    const uint8_t* at = nullptr;
    ASSERT_EQ(ep::NextFrame(stream.data(), stream.size(), &header, &at),
              static_cast<int64_t>(frame.size()));
    EXPECT_EQ(ep::NextFrame(stream.data(), frame.size() - 1, &header, &at), 0);

    Message decoded;
    ASSERT_TRUE(decode(header.category, header.type, at, header.length, &decoded));
    EXPECT_TRUE(decoded == message);

    // Every cut near either end: a long URL's middle adds nothing but time.
    for (size_t cut = 0; cut < payload.size();
         cut = (cut == 1023 && payload.size() > 2048) ? payload.size() - 1024 : cut + 1) {
        std::vector<uint8_t> prefix(payload.begin(), payload.begin() + cut);
        if (decode(header.category, header.type, prefix.empty() ? nullptr : prefix.data(),
                   prefix.size(), &decoded)) {
            ADD_FAILURE() << "a payload cut to " << cut << " of " << payload.size()
                          << " bytes was accepted";
            break;
        }
    }
}

TEST(EngineProtocolRoundTrip, LibraryMessages) {
    for (const auto& c : kLibraryCases) {
        CheckRoundTrip(c.name, c.message, ep::DecodeLibraryMessage);
    }
}

TEST(EngineProtocolRoundTrip, EngineMessages) {
    for (const auto& c : kEngineCases) {
        CheckRoundTrip(c.name, c.message, ep::DecodeEngineMessage);
    }
}

// ---- Refusals ----

TEST(EngineProtocolRefusal, PayloadsThatLie) {
    const std::string record = "\x01\x02"s + U64(1) + Field("/f", 260) + Field("n", 260) + "u\0"s;
    const std::string entryHead =
        U32(1) + U32(0) + "\x01\x02"s + U64(1) + Field("/f", 260) + Field("n", 260);
    struct Case {
        const char* name;
        uint16_t category;
        uint16_t type;
        std::string payload;
    };
    const std::vector<Case> cases = {
        {"list counts two records, holds one", ep::kFileListCategory, ep::kFileList,
         U32(1) + U32(2) + Field("s", 33) + record + Zeros(7)},
        {"entry URL length beyond the payload", ep::kCategory, ep::kFileListEntry,
         entryHead + U16(21) + kUrl20},
        {"entry URL with a NUL", ep::kCategory, ep::kFileListEntry, entryHead + U16(3) + "a\0b"s},
        {"code field without its NUL", ep::kCategory, ep::kJobCode, std::string(20, 'A')},
        {"service id without its NUL", ep::kCategory, ep::kServiceId, std::string(260, 'A')},
        {"list service id without its NUL", ep::kCategory, ep::kFileListBegin,
         U32(1) + U32(1) + std::string(33, 'A')},
        {"whole list in the plain category", ep::kCategory, ep::kFileList,
         U32(1) + U32(0) + Field("s", 33)},
        {"an engine message type", ep::kCategory, ep::kJobAccepted, Zeros(24)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> exact(c.payload.begin(), c.payload.end());
        ep::LibraryMessage message;
        EXPECT_FALSE(
            ep::DecodeLibraryMessage(c.category, c.type, exact.data(), exact.size(), &message));
    }

    std::vector<uint8_t> payload(32, 0);
    ep::EngineMessage message;
    EXPECT_FALSE(ep::DecodeEngineMessage(ep::kCategory, ep::kStopJob, payload.data(),
                                         payload.size(), &message));
    EXPECT_FALSE(ep::DecodeEngineMessage(ep::kFileListCategory, ep::kJobAccepted, payload.data(),
                                         payload.size(), &message));
    const std::string fileNoNul = U32(1) + U32(2) + Field("", 33) + std::string(260, 'p') + "u\0"s;
    ep::FileCompleted done;
    EXPECT_FALSE(DecodeExact(fileNoNul, &done));
}

TEST(EngineProtocolRefusal, RecordsThatDoNotFit) {
    ep::Bytes payload = {0xAB};
    ep::FileRecord longFolder = File20();
    longFolder.folder = std::string(260, 'f');
    ep::FileRecord nulUrl = File20();
    nulUrl.url = "http://h/\0x"s;
    ep::FileRecord longUrl = File20();
    longUrl.url = std::string(65536, 'u');

    EXPECT_FALSE(ep::Encode(ep::JobCode{std::string(20, 'c')}, &payload));
    EXPECT_FALSE(ep::Encode(ep::ServiceId{std::string(260, 's')}, &payload));
    EXPECT_FALSE(ep::Encode(ep::FileList{1, std::string(33, 's'), {}}, &payload));
    EXPECT_FALSE(ep::Encode(ep::FileList{1, "s", {File20(), longFolder}}, &payload));
    EXPECT_FALSE(ep::Encode(ep::FileList{1, "s", {nulUrl}}, &payload));
    EXPECT_FALSE(ep::Encode(ep::FileListEntry{1, 0, longUrl}, &payload));
    EXPECT_FALSE(ep::Encode(ep::FileCompleted{1, 2, "", std::string(260, 'p'), "u"}, &payload));
    EXPECT_FALSE(ep::Encode(ep::JobFailed{1, 2, "a\0b"s}, &payload));
    // A refused record leaves the caller's bytes as they were.
    EXPECT_EQ(payload, ep::Bytes{0xAB});
    // The longest URL a whole list may carry is not bounded by 16 bits.
    EXPECT_TRUE(ep::Encode(ep::FileList{1, "s", {longUrl}}, &payload));
}

TEST(EngineProtocolFraming, BrokenAndPartialStreams) {
    ep::FrameHeader header;
    const uint8_t* payload = nullptr;
    std::string huge = "\x00\x01\x05\x00"s + Zeros(6) + U32(ep::kMaxFrameLength + 1);
    EXPECT_EQ(ep::NextFrame(reinterpret_cast<const uint8_t*>(huge.data()), huge.size(), &header,
                            &payload),
              -1);
    EXPECT_EQ(ep::NextFrame(reinterpret_cast<const uint8_t*>(huge.data()), 13, &header, &payload),
              0);
}

TEST(EngineProtocolText, FitTextCutsWholeCharacters) {
    EXPECT_EQ(ep::FitText("abc", 4), "abc");
    EXPECT_EQ(ep::FitText("abcd", 4), "abc");
    EXPECT_EQ(ep::FitText("ab\xc3\xa9", 4), "ab");  // "abé": the two-byte é does not fit
    EXPECT_EQ(ep::FitText("a\xe4\xb8\xad", 4), "a");
    EXPECT_EQ(ep::FitText("a\0bc"s, 33), "a");
    EXPECT_EQ(ep::FitText("abc", 0), "");
}

}  // namespace
