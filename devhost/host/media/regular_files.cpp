#include "regular_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace flumina::host {
namespace {

// What a file that is not a regular one is, for messages.
const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

[[noreturn]] void refuse(const std::string& what, const std::string& path, const std::string& reason) {
    throw std::runtime_error("cannot open " + path + what + ": " + reason);
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why an existing output may not be replaced, or empty when it may.
std::string outputProblem(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return "it is a symbolic link, and the host writes through none";
    if (!S_ISREG(st.st_mode)) return std::string("it is ") + kindOf(st.st_mode) + ", not a regular file";
    if ((st.st_mode & 0222) == 0) return "it is read-only (mode " + modeText(st.st_mode) + ")";
    return {};
}

constexpr const char* kForWriting = " for writing";

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

FileDescriptor openInputFile(const std::string& path, const std::string& name) {
    const std::string& named = name.empty() ? path : name;
    // Non-blocking, so that opening a FIFO returns at once and is refused below.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) refuse("", named, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) refuse("", named, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse("", named, std::string("it is ") + kindOf(st.st_mode) + ", not a regular file");
    return fd;
}

void checkOutputFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        const std::string problem = outputProblem(st);
        if (!problem.empty()) refuse(kForWriting, path, problem);
        if (::access(path.c_str(), W_OK) != 0) refuse(kForWriting, path, std::strerror(errno));
        return;
    }
    if (errno != ENOENT) refuse(kForWriting, path, std::strerror(errno));
    const std::string folder = folderOf(path);
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) != 0) refuse(kForWriting, path, std::strerror(errno));
    if (!S_ISDIR(dir.st_mode)) refuse(kForWriting, path, folder + " is no folder");
    if (::access(folder.c_str(), W_OK) != 0) refuse(kForWriting, path, "folder " + folder + ": " + std::strerror(errno));
}

OutputFile openOutputFile(const std::string& path) {
    OutputFile file;
    // Non-blocking and not through a link: a FIFO put there since the check fails at once (ENXIO) or is refused below.
    constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    file.fd = FileDescriptor(::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666));
    file.created = static_cast<bool>(file.fd);
    if (!file.fd) {
        if (errno != EEXIST) refuse(kForWriting, path, std::strerror(errno));
        file.fd = FileDescriptor(::open(path.c_str(), kFlags));
        if (!file.fd) {
            if (errno == ELOOP) refuse(kForWriting, path, "it is a symbolic link, and the host writes through none");
            refuse(kForWriting, path, errno == ENXIO ? "it is a FIFO, not a regular file" : std::strerror(errno));
        }
    }
    struct stat st {};
    if (::fstat(file.fd.get(), &st) != 0) refuse(kForWriting, path, std::strerror(errno));
    if (!file.created) {
        const std::string problem = outputProblem(st);
        if (!problem.empty()) refuse(kForWriting, path, problem);
        if (::ftruncate(file.fd.get(), 0) != 0) refuse(kForWriting, path, std::strerror(errno));
    }
    file.device = st.st_dev;
    file.inode = st.st_ino;
    return file;
}

bool removeCreatedFile(const std::string& path, const OutputFile& file) {
    if (!file.created) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || st.st_dev != file.device || st.st_ino != file.inode) return false;
    return ::unlink(path.c_str()) == 0;
}

}  // namespace flumina::host
