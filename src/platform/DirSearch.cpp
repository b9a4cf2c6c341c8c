#include "platform/DirSearch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/FileOps.h"
#include "platform/StatMap.h"
#include "wire/Wire.h"

namespace rs232 {

namespace {

// One entry at a time: readdir() streams, so a huge directory never sits in memory.
bool NextEntry(DIR* dir, CFindData& entry) {
    const struct dirent* d = ::readdir(dir);
    if (!d) return false;
    entry.name = d->d_name;
    struct stat st {};
    // Follows symbolic links; an entry that cannot be looked at (a dangling link, a name
    // removed meanwhile) is still listed, as a plain empty file.
    if (::fstatat(::dirfd(dir), d->d_name, &st, 0) == 0) {
        entry.size = detail::ClampSize(st.st_size);
        entry.time = detail::ClampTime(st.st_mtim.tv_sec);
        entry.attrib = detail::AttributesOf(st, entry.name);
    } else {
        entry.size = 0;
        entry.time = 0;
        entry.attrib = wire::kAttrArchive;
    }
    return true;
}

}  // namespace

CDirSearch::~CDirSearch() { Close(); }

bool CDirSearch::FindFirst(const std::string& directory, CFindData& entry) {
    Close();
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (!dir) return false;
    m_dir = dir;
    if (NextEntry(dir, entry)) return true;
    Close();
    return false;
}

bool CDirSearch::FindNext(CFindData& entry) {
    if (!m_dir) return false;
    return NextEntry(static_cast<DIR*>(m_dir), entry);
}

void CDirSearch::Close() {
    if (m_dir) ::closedir(static_cast<DIR*>(m_dir));
    m_dir = nullptr;
}

}  // namespace rs232
