#include "corvane/redis/pool.h"

#include "corvane/redis/failure.h"

namespace corvane::redis {

namespace {

// Idle connections kept beyond this many are closed; room for the reads ahead of a
// synchronisation (one connection each) and the commands of the caller's threads.
constexpr std::size_t kMaxIdle = 32;

}  // namespace

Lease::Lease(Pool& pool, std::shared_ptr<const Settings> settings, std::uint64_t generation,
             std::unique_ptr<Connection> connection) noexcept
    : pool_(&pool),
      settings_(std::move(settings)),
      generation_(generation),
      connection_(std::move(connection)) {}

ReplyHead Lease::command(std::string_view encoded) {
    if (connection_) {
        const std::uint64_t before = connection_->received();
        try {
            return connection_->command(encoded);
        } catch (const Failure& failure) {
            if (failure.kind() != FailureKind::Connection || connection_->received() != before) throw;
        }
        connection_.reset();
    }
    connection_ = Connection::open(*settings_);
    return connection_->command(encoded);
}

void Lease::give_back() noexcept {
    if (connection_) pool_->put(generation_, std::move(connection_));
}

Pool::Pool(std::shared_ptr<const Settings> settings) : settings_(std::move(settings)) {
    // With room for every idle connection, giving one back never allocates.
    idle_.reserve(kMaxIdle);
}

Lease Pool::take() {
    std::unique_ptr<Connection> connection;
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
        connection = std::move(idle_.back());
        idle_.pop_back();
    }
    return Lease(*this, settings_, generation_, std::move(connection));
}

std::shared_ptr<const Settings> Pool::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void Pool::reset(std::shared_ptr<const Settings> settings) {
    std::vector<std::unique_ptr<Connection>> closing;
    closing.reserve(kMaxIdle);
    {
        std::lock_guard lock(mutex_);
        for (auto& connection : idle_) closing.push_back(std::move(connection));
        idle_.clear();
        ++generation_;
        if (settings) settings_ = std::move(settings);
    }
    // `closing` closes its sockets here, outside the lock.
}

void Pool::put(std::uint64_t generation, std::unique_ptr<Connection> connection) noexcept {
    {
        std::lock_guard lock(mutex_);
        if (generation == generation_ && idle_.size() < kMaxIdle) {
            idle_.push_back(std::move(connection));
            return;
        }
    }
    // Stale (the pool was reset meanwhile) or surplus: `connection` closes here.
}

}  // namespace corvane::redis
