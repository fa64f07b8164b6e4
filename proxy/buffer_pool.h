// The copying stage's memory: copy buffers lent to a session only while
// bytes move, and a count of what the sessions hold.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

// Bytes looked at and written at once per direction. Under Wine each socket
// call is a round trip to the Wine server, so fewer, larger calls are what
// makes the copying fast there.
inline constexpr std::size_t relayBufferSize = 1024 * 1024;

// Buffers not in use, kept for the next burst; on the engine's thread only,
// but for the count, which any thread may read.
class BufferPool {
  public:
    // The most spare buffers kept.
    static constexpr std::size_t spareLimit = 8;

    // A buffer for one burst, given back at the end of its scope.
    class Borrowed {
      public:
        explicit Borrowed(BufferPool& pool);
        ~Borrowed();
        Borrowed(const Borrowed&) = delete;
        Borrowed& operator=(const Borrowed&) = delete;
        char* get() const { return data.get(); }

      private:
        BufferPool& pool;
        std::unique_ptr<char[]> data;
    };

    // Bytes held in borrowed buffers right now.
    std::size_t held() const { return lent.load() * relayBufferSize; }

  private:
    std::vector<std::unique_ptr<char[]>> spare;
    std::atomic<std::size_t> lent{0};
};
