// A queue of a stream's packets bounded by count and bytes, that knows which
// pictures decoding can start from. A picture that cannot be taken breaks the
// chain of those that follow it: they are dropped too, up to the next one that
// decoding can start from, so that no picture is ever handed on without the
// ones it depends on. What needs no picture and none needs (sound, parameter
// sets, markers) is taken whenever there is room for it.
//
// Not locked: its owner's lock guards it.
#pragma once

#include <cstddef>
#include <deque>
#include <utility>

template <class T>
class CKeyFrameQueue {
public:
    // What a packet is to the pictures around it.
    enum class Link {
        kNone,    // lost or kept, it changes nothing for the pictures
        kPicture, // needs those before it, back to a key
        kKey,     // decoding can start here
    };
    // What a key frame that finds no room does.
    enum class KeyWhenFull {
        kDropped,      // it goes, and so does what follows up to the next key
        kClearsQueued, // what waits is dropped to make room for it
    };
    // The owner's own say on room, beyond count and bytes.
    enum class Room { kByLimits, kAlways, kNone };
    struct Limits {
        size_t packets = 0;
        size_t bytes = 0;
        bool oneAlwaysFits = false; // an empty queue takes a packet of any size
        KeyWhenFull keyWhenFull = KeyWhenFull::kDropped;
    };

    enum class Verdict {
        kTake,        // the owner pushes it now
        kNoRoom,      // dropped: the queue is full
        kAwaitingKey, // dropped: a picture before it was lost
    };
    struct Admission {
        Verdict verdict = Verdict::kTake;
        size_t cleared = 0; // packets that waited, dropped to make room for a key
    };

    explicit CKeyFrameQueue(const Limits& l) : limits(l) {}

    // Decides on a packet of bytes before it is made, so that a refused one
    // costs no copy: on kTake the owner pushes it next. A key that clears
    // the queue hands each packet it drops to release.
    template <class Release>
    Admission Admit(size_t bytes, Link link, Room room, Release&& release) {
        Admission a;
        const bool fits = Fits(bytes, room);
        if (link == Link::kKey) {
            if (!fits && limits.keyWhenFull == KeyWhenFull::kDropped) {
                awaitingKey = true;
                a.verdict = Verdict::kNoRoom;
                return a;
            }
            awaitingKey = false;
            if (!fits)
                a.cleared = Clear(release);
            return a;
        }
        if (link == Link::kPicture && awaitingKey) {
            a.verdict = Verdict::kAwaitingKey;
            return a;
        }
        if (!fits) {
            if (link == Link::kPicture)
                awaitingKey = true;
            a.verdict = Verdict::kNoRoom;
        }
        return a;
    }
    Admission Admit(size_t bytes, Link link, Room room = Room::kByLimits) {
        return Admit(bytes, link, room, [](T&&) {});
    }

    // Takes a packet that Admit let in.
    void Push(T item, size_t bytes) {
        entries.push_back({std::move(item), bytes});
        queuedBytes += bytes;
    }

    // A picture admitted was lost all the same (no memory for it): those
    // after it wait for a key.
    void BreakChain() { awaitingKey = true; }
    // A new stream: nothing before it is awaited.
    void Restart() { awaitingKey = false; }
    bool AwaitingKey() const { return awaitingKey; }

    bool Empty() const { return entries.empty(); }
    size_t Size() const { return entries.size(); }
    size_t Bytes() const { return queuedBytes; }
    T& Front() { return entries.front().item; }
    const T& Front() const { return entries.front().item; }
    T Pop() {
        Entry e = std::move(entries.front());
        entries.pop_front();
        queuedBytes -= e.bytes;
        return std::move(e.item);
    }
    // Newest first, while visit returns true.
    template <class Visit>
    void NewestFirst(Visit&& visit) {
        for (auto it = entries.rbegin(); it != entries.rend() && visit(it->item); ++it) {}
    }
    // Drops everything waiting, handing each packet to release; how many.
    template <class Release>
    size_t Clear(Release&& release) {
        const size_t count = entries.size();
        for (Entry& e : entries)
            release(std::move(e.item));
        entries.clear();
        queuedBytes = 0;
        return count;
    }
    size_t Clear() {
        return Clear([](T&&) {});
    }
    // Moves everything waiting into other, empty, and leaves this one empty:
    // for letting go of the packets outside a lock.
    void MoveInto(CKeyFrameQueue& other) {
        other.entries.clear();
        other.entries.swap(entries);
        other.queuedBytes = std::exchange(queuedBytes, 0);
    }

private:
    bool Fits(size_t bytes, Room room) const {
        if (room == Room::kAlways || (limits.oneAlwaysFits && entries.empty()))
            return true;
        return room != Room::kNone && entries.size() < limits.packets &&
               queuedBytes + bytes <= limits.bytes;
    }

    struct Entry {
        T item;
        size_t bytes;
    };
    const Limits limits;
    std::deque<Entry> entries;
    size_t queuedBytes = 0;
    bool awaitingKey = false;
};
