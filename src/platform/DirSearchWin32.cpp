#include "platform/DirSearch.h"

#include <windows.h>

#include "platform/FileWin32.h"
#include "platform/TextCodeWin32.h"

namespace rs232 {

namespace {

struct SSearch {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data{};
    bool pending = false;  // data holds an entry not yet handed out
};

bool TakeEntry(SSearch& search, CFindData& entry) {
    if (!search.pending && !FindNextFileW(search.find, &search.data)) return false;
    search.pending = false;
    const WIN32_FIND_DATAW& d = search.data;
    entry.name = detail::Narrow(d.cFileName);
    entry.size = detail::ClampSize((static_cast<int64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow);
    entry.time = detail::ClampTime(detail::UnixTimeOf(d.ftLastWriteTime.dwLowDateTime,
                                                      d.ftLastWriteTime.dwHighDateTime));
    entry.attrib = detail::AttributesOfWin32(d.dwFileAttributes);
    return true;
}

}  // namespace

CDirSearch::~CDirSearch() { Close(); }

bool CDirSearch::FindFirst(const std::string& directory, CFindData& entry) {
    Close();
    std::string pattern = directory.empty() ? "." : directory;
    if (!pattern.ends_with('/') && !pattern.ends_with('\\')) pattern += '/';
    auto* search = new SSearch;
    search->find = FindFirstFileW(detail::WidePath(pattern + "*").c_str(), &search->data);
    if (search->find == INVALID_HANDLE_VALUE) {
        delete search;
        return detail::FailWithLastError();
    }
    search->pending = true;
    m_dir = search;
    if (TakeEntry(*search, entry)) return true;
    Close();
    return false;
}

bool CDirSearch::FindNext(CFindData& entry) {
    return m_dir && TakeEntry(*static_cast<SSearch*>(m_dir), entry);
}

void CDirSearch::Close() {
    if (!m_dir) return;
    auto* search = static_cast<SSearch*>(m_dir);
    FindClose(search->find);
    delete search;
    m_dir = nullptr;
}

}  // namespace rs232
