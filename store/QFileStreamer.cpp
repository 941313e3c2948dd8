#include "store/QFileStreamer.h"

#include <QIODevice>

namespace {

// A device may move fewer bytes than asked per call: i_step is called on the
// rest until all i_length bytes are through, or it moves none.
template <class Step>
bool MoveAll(unsigned long i_length, Step i_step)
{
    quint64 l_done = 0;
    while (l_done < i_length) {
        qint64 const l_moved = i_step(l_done, qint64(i_length - l_done));
        if (l_moved <= 0)
            return false;
        l_done += quint64(l_moved);
    }
    return true;
}

} // namespace

QFileStreamer::QFileStreamer(QIODevice* ip_device) : mp_device(ip_device) {}

bool QFileStreamer::ReadBuffer(void* op_buffer, unsigned long i_length)
{
    if (!mp_device || i_length > BytesAvailable())
        return false;
    char* lp_out = static_cast<char*>(op_buffer);
    return MoveAll(i_length, [&](quint64 i_at, qint64 i_rest) { return mp_device->read(lp_out + i_at, i_rest); });
}

bool QFileStreamer::WriteBuffer(void const* ip_buffer, unsigned long i_length)
{
    if (!mp_device)
        return false;
    char const* lp_in = static_cast<char const*>(ip_buffer);
    return MoveAll(i_length, [&](quint64 i_at, qint64 i_rest) { return mp_device->write(lp_in + i_at, i_rest); });
}

quint64 QFileStreamer::BytesAvailable() const
{
    if (!mp_device)
        return 0;
    if (mp_device->isSequential())
        return quint64(qMax<qint64>(0, mp_device->bytesAvailable()));
    qint64 const l_left = mp_device->size() - mp_device->pos();
    return l_left > 0 ? quint64(l_left) : 0;
}
