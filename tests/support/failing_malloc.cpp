#include "failing_malloc.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

extern "C"
{
    void *__libc_malloc(size_t);
    void *__libc_calloc(size_t, size_t);
    void *__libc_realloc(void *, size_t);
    void __libc_free(void *);
    void *__libc_memalign(size_t, size_t);
}

namespace
{
size_t nFailFrom = 0;            // 0: nothing fails
std::atomic<long> nLiveBlocks{0}; // blocks handed out and not yet freed

void *Counted(void *p)
{
    if (p != nullptr)
        nLiveBlocks++;
    return p;
}

bool Fails(size_t nBytes)
{
    if (nFailFrom == 0 || nBytes < nFailFrom)
        return false;
    errno = ENOMEM;
    return true;
}
} // namespace

extern "C"
{
    void *malloc(size_t nBytes)
    {
        return Fails(nBytes) ? nullptr : Counted(__libc_malloc(nBytes));
    }

    void *calloc(size_t nCount, size_t nSize)
    {
        // An overflowing product is the C library's to refuse.
        if (nSize != 0 && nCount <= static_cast<size_t>(-1) / nSize && Fails(nCount * nSize))
            return nullptr;
        return Counted(__libc_calloc(nCount, nSize));
    }

    void *realloc(void *p, size_t nBytes)
    {
        if (p == nullptr)
            return malloc(nBytes);
        if (nBytes == 0)
        {
            free(p);
            return nullptr;
        }
        return Fails(nBytes) ? nullptr : __libc_realloc(p, nBytes);
    }

    void free(void *p)
    {
        if (p != nullptr)
            nLiveBlocks--;
        __libc_free(p);
    }

    void *memalign(size_t nAlignment, size_t nBytes)
    {
        return Fails(nBytes) ? nullptr : Counted(__libc_memalign(nAlignment, nBytes));
    }

    void *aligned_alloc(size_t nAlignment, size_t nBytes)
    {
        return memalign(nAlignment, nBytes);
    }

    int posix_memalign(void **pp, size_t nAlignment, size_t nBytes)
    {
        void *p = memalign(nAlignment, nBytes);
        if (p == nullptr)
            return ENOMEM;
        *pp = p;
        return 0;
    }
}

namespace swatchtest
{

ScopedFailingAllocations::ScopedFailingAllocations(size_t nBytes)
{
    nFailFrom = nBytes;
}

ScopedFailingAllocations::~ScopedFailingAllocations()
{
    nFailFrom = 0;
}

long LiveAllocations()
{
    return nLiveBlocks.load();
}

} // namespace swatchtest
