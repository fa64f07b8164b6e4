#include "proxy/buffer_pool.h"

BufferPool::Borrowed::Borrowed(BufferPool& pool) : pool(pool) {
    if (pool.spare.empty()) {
        data = std::make_unique_for_overwrite<char[]>(relayBufferSize);
    } else {
        data = std::move(pool.spare.back());
        pool.spare.pop_back();
    }
    ++pool.lent;
}

BufferPool::Borrowed::~Borrowed() {
    --pool.lent;
    try {
        if (pool.spare.size() < spareLimit) pool.spare.push_back(std::move(data));
    } catch (...) {
        // No room to keep it: it is freed instead.
    }
}
