#include "file_identity.h"

#include <climits>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

bool isNull(const struct stat& st) { return S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3); }

bool sameIdentity(const struct stat& a, const struct stat& b)
{
    if (isNull(a) || isNull(b) || (a.st_mode & S_IFMT) != (b.st_mode & S_IFMT))
        return false;
    if (S_ISCHR(a.st_mode) || S_ISBLK(a.st_mode))
        return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The folder's resolved path plus the name; the name as given when the
// folder cannot be resolved either (then neither name can be created).
std::string wouldBe(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr)
        return path;
    return std::string(resolved) + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
}

} // namespace

bool sameFile(const char* a, const char* b)
{
    struct stat sa {};
    struct stat sb {};
    const bool existsA = stat(a, &sa) == 0;
    const bool existsB = stat(b, &sb) == 0;
    if (existsA != existsB)
        return false;
    return existsA ? sameIdentity(sa, sb) : wouldBe(a) == wouldBe(b);
}

bool sameOpenFile(int a, int b)
{
    struct stat sa {};
    struct stat sb {};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sameIdentity(sa, sb);
}
