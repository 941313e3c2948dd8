#include "store/QFileStreamer.h"

#include <QIODevice>

QFileStreamer::QFileStreamer(QIODevice* ip_device) : mp_device(ip_device) {}

bool QFileStreamer::ReadBuffer(void* op_buffer, unsigned long i_length)
{
    if (!mp_device || i_length > BytesAvailable())
        return false;
    char* lp_out = static_cast<char*>(op_buffer);
    quint64 l_done = 0;
    while (l_done < i_length) {
        qint64 const l_read = mp_device->read(lp_out + l_done, qint64(i_length - l_done));
        if (l_read <= 0)
            return false;
        l_done += quint64(l_read);
    }
    return true;
}

bool QFileStreamer::WriteBuffer(void const* ip_buffer, unsigned long i_length)
{
    if (!mp_device)
        return false;
    char const* lp_in = static_cast<char const*>(ip_buffer);
    quint64 l_done = 0;
    while (l_done < i_length) {
        qint64 const l_written = mp_device->write(lp_in + l_done, qint64(i_length - l_done));
        if (l_written <= 0)
            return false;
        l_done += quint64(l_written);
    }
    return true;
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
