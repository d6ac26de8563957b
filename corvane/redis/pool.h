// The connections of one client: idle ones wait in a small pool; a command takes one (or
// opens one) for its sole use and gives it back only when it ended cleanly.
//
// The mutex guards the pool alone and is never held during I/O or while waiting for the GIL.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "corvane/redis/connection.h"

namespace corvane::redis {

class Pool;

// A connection in use by one command. A lease that is not given back closes its connection:
// a connection that saw any failure is never reused.
class Lease {
public:
    Lease(Lease&&) noexcept = default;
    ~Lease() = default;

    const Settings& settings() const noexcept { return *settings_; }
    // Sends a command that is safe to repeat and reads the head of its reply, connecting
    // first when the pool had no idle connection. An idle connection may have been closed
    // by the server meanwhile: when it fails before any byte of the reply came, the command
    // goes once more on a new connection. Blocking.
    ReplyHead command(std::string_view encoded);
    // The body of the bulk reply whose head `command` returned. Blocking.
    void read_body(char* dst, std::size_t length) { connection_->read_body(dst, length); }
    // Returns the connection to the pool for the next command.
    void give_back() noexcept;

private:
    friend class Pool;
    Lease(Pool& pool, std::shared_ptr<const Settings> settings, std::uint64_t generation,
          std::unique_ptr<Connection> connection) noexcept;

    Pool* pool_;
    std::shared_ptr<const Settings> settings_;
    std::uint64_t generation_;
    std::unique_ptr<Connection> connection_;
};

class Pool {
public:
    explicit Pool(std::shared_ptr<const Settings> settings);

    // An idle connection, or an empty lease that connects when first used.
    Lease take();
    std::shared_ptr<const Settings> settings() const;
    // Closes the idle connections; those in use are closed when given back. New settings,
    // when given, apply from the next command on.
    void reset(std::shared_ptr<const Settings> settings = nullptr);

private:
    friend class Lease;
    void put(std::uint64_t generation, std::unique_ptr<Connection> connection) noexcept;

    mutable std::mutex mutex_;
    std::shared_ptr<const Settings> settings_;
    std::uint64_t generation_ = 0;
    std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace corvane::redis
