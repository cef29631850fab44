#include "win_output.h"

#include "panel/calling.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace q7win {

namespace {

// A file deleted when closed, for this process only.
int temporary_file() {
    wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
    if (!GetTempPathW(MAX_PATH + 1, folder) || !GetTempFileNameW(folder, L"q7o", 0, name)) return -1;
    const HANDLE h =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) CloseHandle(h);
    return fd;
}

}  // namespace

ModuleOutput::ModuleOutput() : file_(temporary_file()) {}

ModuleOutput::~ModuleOutput() {
    if (file_ >= 0) _close(file_);
}

void ModuleOutput::clear() {
    text_.clear();
    truncated_ = false;
}

void ModuleOutput::begin() {
    if (depth_++ > 0 || file_ < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd : {1, 2}) {
        saved_[fd - 1] = _dup(fd);
        _dup2(file_, fd);
    }
}

void ModuleOutput::end() {
    if (--depth_ > 0 || file_ < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd : {1, 2}) {
        if (saved_[fd - 1] >= 0) {
            _dup2(saved_[fd - 1], fd);
            _close(saved_[fd - 1]);
        } else {
            _close(fd);  // it was not open before
        }
        saved_[fd - 1] = -1;
    }
    // Descriptors 1, 2 and the file share one file position: what was
    // written lies between the start and it.
    const long written = _lseek(file_, 0, SEEK_CUR);
    if (written <= 0) return;
    _lseek(file_, 0, SEEK_SET);
    char buffer[4096];
    for (long left = written; left > 0;) {
        const int n = _read(file_, buffer, static_cast<unsigned>(left < 4096 ? left : 4096));
        if (n <= 0) break;
        left -= n;
        const std::size_t room = q7host::calling::kKeptOutput - text_.size();
        if (static_cast<std::size_t>(n) > room) truncated_ = true;
        text_.append(buffer, static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room);
    }
    _chsize(file_, 0);
    _lseek(file_, 0, SEEK_SET);
}

}  // namespace q7win
