// The file list the window downloads first: plain text, one file URL per line, CR LF or LF.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A line this long (or longer) is not a URL: the whole list is refused.
inline constexpr size_t kFileListLineLimit = 1024;
// The bytes of the library's file message field (JobFileMessage::text), its terminator included.
inline constexpr size_t kFileMessageTextBytes = 1024;

enum class FileListOutcome {
    Parsed,       // the scan reached the end and found at least one entry
    LineTooLong,  // stopped at a line of kFileListLineLimit bytes or more
    Empty,        // the scan reached the end without an entry
};

struct CFileList {
    // One entry per line, trimmed of white space; may hold empty entries (an empty line between
    // CR LF lines). On LineTooLong it holds the entries read before the long line.
    std::vector<std::string> urls;
    FileListOutcome outcome = FileListOutcome::Empty;
};

// Splits the downloaded bytes into file URLs. A break is CR LF or a lone LF; an empty line
// before a break is skipped and its break bytes join the next line; an unterminated last line
// counts only with more than 2 bytes.
CFileList ParseFileList(std::string_view data);

// Whether a completed file becomes the installer: always when the list has one file, else when
// its extension (of the last path segment, any letter case) is ".exe", ".sh", ".run" or
// ".AppImage". A name without '.' has no extension.
bool QualifiesAsInstaller(size_t fileCount, const std::string& localPath);

// The local path of a completed file from the library's file message "URL,path". A URL may
// hold commas itself, so the path is what follows the file's own URL: the one at index (files
// complete in order), else any listed URL the text starts with. A text as long as the message's
// field may have been cut: the path is then jobFolder and the name the library gives the file,
// never a cut one. A text naming no listed URL is cut at its first comma.
std::string LocalPathOfFileMessage(const std::string& text, const std::vector<std::string>& urls,
                                   size_t index, const std::string& jobFolder);
// The URL part of that message: the text before ",<path>".
std::string UrlOfFileMessage(const std::string& text, const std::string& path);

// The extension of the last path segment ('/' or '\'), lower-cased, from its last '.'; empty
// when there is none.
std::string LowerCaseExtension(const std::string& path);
