// The wire form of the marshalling library: a fixed message header and bounds-checked writing and reading.
#ifndef ZUVST_ZUVSTPS_WIRE_H
#define ZUVST_ZUVSTPS_WIRE_H

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "zuvst/types.h"

namespace zuvst::ps {

constexpr uint32_t kProtocolMagic = 0x7350755A; // "ZuPs"
constexpr uint32_t kProtocolVersion = 1;
// The largest message either side accepts; a larger one closes the connection.
constexpr uint32_t kMaxMessageBytes = 64u << 20;
// Text capacities and strings carried in one call.
constexpr int32_t kMaxTextUnits = 65536;

enum class MessageKind : uint16_t {
    Hello = 1,      // client's first message
    Welcome = 2,    // the server's answer to it
    Call = 3,       // a call on an object; a Reply follows
    Reply = 4,      // the answer to the Call with the same call id
    Release = 5,    // the sender drops `count` references to one of the receiver's objects; a Reply follows
    AttachAudio = 6, // a shared block for an effect's audio, passed as a descriptor; a Reply follows
};

struct MessageHeader {
    uint32_t length;   // 0: the whole message, this header included
    uint16_t kind;     // 4: MessageKind
    uint16_t slot;     // 6: the slot called
    uint32_t callId;   // 8: pairs a Reply with its Call
    int32_t status;    // 12: a Reply's result
    uint64_t objectId; // 16: the object called or released
    uint32_t count;    // 24: references released
    uint32_t reserved; // 28
};
static_assert(sizeof(MessageHeader) == 32, "the header is 32 bytes on every architecture");

// The handshake records. Record sizes are checked so that peers built differently never exchange records.
struct HelloRecord {
    uint32_t magic;
    uint32_t version;
    uint32_t effectInfoSize;
    uint32_t paramPropsSize;
    uint32_t timeInfoSize;
    uint32_t role; // HelloRole
    uint64_t session; // the session joined (role Join), else 0
    IID requested;    // the interface of the class object wanted (role Open)
};
static_assert(sizeof(HelloRecord) == 48, "layout");

enum HelloRole : uint32_t { kRoleOpen = 1, kRoleJoin = 2 };

struct WelcomeRecord {
    uint32_t magic;
    uint32_t version;
    int32_t status;   // of getting the class object
    uint32_t pid;     // the server's process id
    uint64_t session; // the session this connection belongs to
    uint64_t object;  // the class object's id in that session (role Open)
};
static_assert(sizeof(WelcomeRecord) == 32, "layout");

HelloRecord MakeHello(uint32_t role, uint64_t session, const IID& requested);
bool HelloMatches(const HelloRecord& hello);

// Appends values to a message.
class Writer {
public:
    explicit Writer(std::vector<uint8_t>* out) : m_out(out) {}
    template <class T> void Put(const T& value)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        PutBytes(&value, sizeof(T));
    }
    void PutBytes(const void* data, size_t size)
    {
        const size_t at = m_out->size();
        m_out->resize(at + size);
        if (size) std::memcpy(m_out->data() + at, data, size);
    }
    // Room for size bytes filled later, as an offset (the vector may move).
    size_t Reserve(size_t size)
    {
        const size_t at = m_out->size();
        m_out->resize(at + size);
        return at;
    }
    uint8_t* At(size_t offset) { return m_out->data() + offset; }
    size_t Size() const { return m_out->size(); }

private:
    std::vector<uint8_t>* m_out;
};

// Reads values from a received message; every read is checked against what is left.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_left(size) {}
    template <class T> bool Get(T* value)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        if (m_left < sizeof(T)) return false;
        std::memcpy(value, m_data, sizeof(T));
        m_data += sizeof(T);
        m_left -= sizeof(T);
        return true;
    }
    // A view of the next size bytes, valid while the message is.
    const uint8_t* Take(size_t size)
    {
        if (m_left < size) return nullptr;
        const uint8_t* at = m_data;
        m_data += size;
        m_left -= size;
        return at;
    }
    size_t Left() const { return m_left; }

private:
    const uint8_t* m_data;
    size_t m_left;
};

} // namespace zuvst::ps

#endif
