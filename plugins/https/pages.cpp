// Gives back, in https.so's main process, the pages of OpenSSL's code that start-up touched.
#include <cstdint>
#include <cstring>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include "tls_parts.h"

namespace {

// Whether the page range [start, end) meets a writable segment of the object.
bool meets_writable(const dl_phdr_info *object, uintptr_t start, uintptr_t end, uintptr_t page)
{
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = object->dlpi_phdr[i];
        if ((segment.p_type != PT_LOAD || (segment.p_flags & PF_W) == 0) && segment.p_type != PT_GNU_RELRO)
            continue;
        const uintptr_t low = (object->dlpi_addr + segment.p_vaddr) & ~(page - 1);
        const uintptr_t high = object->dlpi_addr + segment.p_vaddr + segment.p_memsz;
        if (low < end && start < high)
            return true;
    }
    return false;
}

// Gives back the pages of OpenSSL's code and read-only data that start-up touched. The main
// process runs none of that code again; the connection children map those pages afresh from
// the page cache when they need them (a fork copies no mapping of them either way). Only
// segments that are never written are released, so nothing the loader relocated is lost.
int release_pages(dl_phdr_info *object, size_t, void *)
{
    if (strstr(object->dlpi_name, "/libssl.so") == nullptr && strstr(object->dlpi_name, "/libcrypto.so") == nullptr)
        return 0;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = object->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0)
            continue;
        const uintptr_t start = (object->dlpi_addr + segment.p_vaddr) & ~(page - 1);
        const uintptr_t end = (object->dlpi_addr + segment.p_vaddr + segment.p_memsz + page - 1) & ~(page - 1);
        if (!meets_writable(object, start, end, page))
            madvise(reinterpret_cast<void *>(start), end - start, MADV_DONTNEED);
    }
    return 0;
}

}  // namespace

void tls_release_pages()
{
    dl_iterate_phdr(release_pages, nullptr);
}
