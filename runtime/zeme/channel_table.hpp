// The channels of one kind by number, as the decoder and encoder calls find them: added by
// create, taken out by destroy and by the end of the media system.
#pragma once
#include <array>
#include <memory>

#include "zeme/media.hpp"
#include "zesim/thread_safety.hpp"

namespace zeme {

template <class Channel, size_t Count> class ChannelTable {
public:
    // The live channel of a number; with the status of the failure when none.
    std::shared_ptr<Channel> find(uint32_t number, uint32_t *status) EXCLUDES(mutex_) {
        zesim::MutexLock lock(mutex_);
        if (!systemInitialized()) {
            *status = zemeER_RSLT_ERR_NOT_SYSTEM_INIT;
            return nullptr;
        }
        if (number >= Count || !channels_[number]) {
            *status = zemeER_RSLT_ERR_INVALID_CHANNEL;
            return nullptr;
        }
        *status = zemeER_SUCCESS;
        return channels_[number];
    }

    // Runs `body` on a live channel.
    template <class Body> uint32_t on(uint32_t number, Body &&body) EXCLUDES(mutex_) {
        uint32_t status = zemeER_SUCCESS;
        std::shared_ptr<Channel> channel = find(number, &status);
        if (!channel) return status;
        return guarded([&] { return body(*channel); });
    }

    // A number below Count that already has a channel.
    bool taken(uint32_t number) EXCLUDES(mutex_) {
        zesim::MutexLock lock(mutex_);
        return channels_[number] != nullptr;
    }

    // Gives a channel made for a number below Count its place.
    uint32_t add(uint32_t number, std::shared_ptr<Channel> created) EXCLUDES(mutex_) {
        zesim::MutexLock lock(mutex_);
        if (!systemInitialized()) return zemeER_RSLT_ERR_NOT_SYSTEM_INIT;
        if (channels_[number]) return zemeER_RSLT_ERR_CHANNEL_EXISTS;
        channels_[number] = std::move(created);
        return zemeER_SUCCESS;
    }

    // Takes a channel out and closes it: what it handed out is taken back.
    uint32_t destroy(uint32_t number) EXCLUDES(mutex_) {
        std::shared_ptr<Channel> channel;
        {
            zesim::MutexLock lock(mutex_);
            if (!systemInitialized()) return zemeER_RSLT_ERR_NOT_SYSTEM_INIT;
            if (number >= Count || !channels_[number]) return zemeER_RSLT_ERR_INVALID_CHANNEL;
            channel = std::move(channels_[number]);
        }
        return guarded([&] {
            channel->close();
            return uint32_t{zemeER_SUCCESS};
        });
    }

    // The numbers without a channel.
    uint32_t available(uint32_t *count) EXCLUDES(mutex_) {
        zesim::MutexLock lock(mutex_);
        if (!systemInitialized()) return zemeER_RSLT_ERR_NOT_SYSTEM_INIT;
        uint32_t used = 0;
        for (const auto &channel : channels_) used += channel != nullptr;
        *count = static_cast<uint32_t>(Count) - used;
        return zemeER_SUCCESS;
    }

    // Takes every channel out and closes it (the end of the media system).
    void closeAll() EXCLUDES(mutex_) {
        std::array<std::shared_ptr<Channel>, Count> all;
        {
            zesim::MutexLock lock(mutex_);
            all.swap(channels_);
        }
        for (auto &channel : all)
            if (channel) channel->close();
    }

private:
    zesim::Mutex mutex_;
    std::array<std::shared_ptr<Channel>, Count> channels_ GUARDED_BY(mutex_);
};

}  // namespace zeme
