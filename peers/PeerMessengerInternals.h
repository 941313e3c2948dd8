#ifndef QUILLMAR_PEERS_PEERMESSENGERINTERNALS_H
#define QUILLMAR_PEERS_PEERMESSENGERINTERNALS_H

// What the messenger's own files share and nobody else sees. Included only by
// PeerMessenger.cpp, PeerFrames.cpp, PeerTrust.cpp and PeerUnsent.cpp;
// callers use peers/PeerMessenger.h.

#include "peers/PeerMessenger.h"

#include <QtGlobal>

namespace PeerMessengerInternals {

// What a socket reads ahead of the frames handled: a peer that sends faster
// than we handle is held back by TCP, not by our memory. Raised for one
// frame while a larger one arrives.
constexpr qint64 READ_AHEAD = 1024 * 1024;

// The gate SetAnswerGate installs, one for all the files: an answer is
// judged by it when it is sent and again when it leaves the unsent queue.
PeerMessenger::AnswerGate& AnswerGateSlot();

} // namespace PeerMessengerInternals

#endif
