// Every message the server may send, through its decoder. The first byte
// picks the code (so that the fuzzer does not spend its time on unknown
// ones), the rest is the payload. What a decoder accepts must keep the
// bounds that the link relies on.

#include "server/ServerMessages.h"

#include <cstddef>
#include <cstdint>

namespace {

quint32 const CODES[] = {201, 5,   13,  14,  15,  22,  26,  36,  64,  66,  83,  84,  128, 92,  93,  102, 130,
                         141, 204, 205, 210, 211, 212, 214, 215, 216, 217, 218, 219, 221, 230, 199};

void Check(bool i_holds)
{
    if (!i_holds)
        __builtin_trap();
}

bool GoodName(QString const& i_name)
{
    return !i_name.isEmpty() && !i_name.contains(QChar(0));
}

struct Checker
{
    void operator()(ServerIn::Malformed const& i_message) const { Check(!i_message.m_reason.isEmpty()); }
    void operator()(ServerIn::RoomJoined const& i_message) const
    {
        for (ServerIn::Member const& l_member : i_message.m_members)
            Check(GoodName(l_member.m_name) && l_member.m_details.m_status <= STATUS_ONLINE);
    }
    void operator()(ServerIn::UserStatus const& i_message) const
    {
        Check(GoodName(i_message.m_user) && i_message.m_status <= STATUS_ONLINE);
    }
    void operator()(ServerIn::PeerAddress const& i_message) const
    {
        Check(i_message.m_port <= 65535 && i_message.m_obfuscatedPort <= 65535);
    }
    void operator()(ServerIn::ConnectBack const& i_message) const
    {
        Check(i_message.m_port <= 65535 && i_message.m_obfuscatedPort <= 65535);
    }
    void operator()(ServerIn::PossibleParents const& i_message) const
    {
        for (auto const& l_parent : i_message.m_parents)
            Check(l_parent.second.m_port >= 1 && l_parent.second.m_port <= 65535);
    }
    template <class Other>
    void operator()(Other const&) const
    {
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* ip_data, size_t i_size)
{
    if (i_size == 0)
        return 0;
    quint32 const l_code = CODES[ip_data[0] % (sizeof(CODES) / sizeof(CODES[0]))];
    MemStream l_payload(ip_data + 1, static_cast<unsigned long>(i_size - 1));
    ServerMessage const l_message = DecodeServerMessage(l_code, l_payload);
    std::visit(Checker(), l_message);
    // Decoding is the same every time.
    MemStream l_again(ip_data + 1, static_cast<unsigned long>(i_size - 1));
    Check(DecodeServerMessage(l_code, l_again) == l_message);
    return 0;
}
