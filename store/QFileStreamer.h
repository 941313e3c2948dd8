#ifndef QUILLMAR_STORE_QFILESTREAMER_H
#define QUILLMAR_STORE_QFILESTREAMER_H

// A stream over an open file (or any random-access QIODevice). The device is
// not owned. BytesAvailable is the rest of the device, so a length read from
// a damaged file is refused before it is allocated.

#include "store/Stream.h"

class QIODevice;

class QFileStreamer : public InputStream, public OutputStream
{
public:
    explicit QFileStreamer(QIODevice* ip_device);

    bool ReadBuffer(void* op_buffer, unsigned long i_length) override;
    bool WriteBuffer(void const* ip_buffer, unsigned long i_length) override;
    quint64 BytesAvailable() const override;

private:
    QIODevice* mp_device;
};

#endif
