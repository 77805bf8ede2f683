#include "hostkit/file_list.h"

#include <algorithm>

#include "hostkit/folders.h"
#include "hostkit/format.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trimmed(std::string_view line) {
    size_t begin = 0;
    size_t end = line.size();
    while (begin < end && IsSpace(line[begin])) {
        ++begin;
    }
    while (end > begin && IsSpace(line[end - 1])) {
        --end;
    }
    return std::string(line.substr(begin, end - begin));
}

}  // namespace

CFileList ParseFileList(std::string_view data) {
    CFileList list;
    const size_t size = data.size();
    size_t lineStart = 0;
    size_t position = 0;
    while (position < size) {
        const bool nextIsLf = position + 1 < size && data[position + 1] == '\n';
        const bool isBreak = data[position] == '\n' || (data[position] == '\r' && nextIsLf);
        if (!isBreak) {
            ++position;
            continue;
        }
        const size_t length = position - lineStart;
        if (length == 0) {
            // The line start stays: these break bytes become part of the next line.
            ++position;
            continue;
        }
        if (length >= kFileListLineLimit) {
            list.outcome = FileListOutcome::LineTooLong;
            return list;
        }
        list.urls.push_back(Trimmed(data.substr(lineStart, length)));
        position += nextIsLf ? 2 : 1;
        lineStart = position;
    }
    const size_t rest = size - lineStart;
    if (rest > 2) {
        if (rest >= kFileListLineLimit) {
            list.outcome = FileListOutcome::LineTooLong;
            return list;
        }
        list.urls.push_back(Trimmed(data.substr(lineStart)));
    }
    list.outcome = list.urls.empty() ? FileListOutcome::Empty : FileListOutcome::Parsed;
    return list;
}

std::string LowerCaseExtension(const std::string& path) {
    const size_t separator = path.find_last_of("/\\");
    const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < nameStart) {
        return {};
    }
    std::string extension = path.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return extension;
}

bool QualifiesAsInstaller(size_t fileCount, const std::string& localPath) {
    if (fileCount == 1) {
        return true;
    }
    const std::string extension = LowerCaseExtension(localPath);
    return extension == ".exe" || extension == ".sh" || extension == ".run" ||
           extension == ".appimage";
}

std::string LocalPathOfFileMessage(const std::string& text, const std::vector<std::string>& urls,
                                   size_t index, const std::string& jobFolder) {
    const auto startsWith = [&text](const std::string& url) {
        return text.size() > url.size() && text.compare(0, url.size(), url) == 0 &&
               text[url.size()] == ',';
    };
    const std::string* url = nullptr;
    if (index < urls.size() && startsWith(urls[index])) {
        url = &urls[index];
    }
    for (const std::string& listed : urls) {
        if (url == nullptr && startsWith(listed)) {
            url = &listed;
        }
    }
    const bool mayBeCut = text.size() >= kFileMessageTextBytes - 1;
    if (url != nullptr && !mayBeCut) {
        return text.substr(url->size() + 1);
    }
    if (url == nullptr && index < urls.size()) {
        url = &urls[index];
    }
    return url != nullptr ? WithTrailingSeparator(jobFolder) + FileNameOfUrl(*url)
                          : TextAfterComma(text);
}

std::string UrlOfFileMessage(const std::string& text, const std::string& path) {
    if (text.size() > path.size() &&
        text.compare(text.size() - path.size(), path.size(), path) == 0 &&
        text[text.size() - path.size() - 1] == ',') {
        return text.substr(0, text.size() - path.size() - 1);
    }
    const size_t comma = text.find(',');
    return comma == std::string::npos ? text : text.substr(0, comma);
}
