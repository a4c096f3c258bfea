#pragma once

#include <functional>
#include <memory>
#include <string>

#include "qel/canbase/CanBaseDef.hpp"
#include "qel/realtime/ThreadSettings.hpp"

namespace qel::hw_interface {

// A raw SocketCAN socket on one network interface, with its own receive
// thread.
//
// Frames are transmitted synchronously from the calling thread. The receive
// thread reads every frame on the bus and hands it to the frame callback while
// holding the adapter's data lock; LoadMutexMsg runs the get-message-content
// callback under the same lock on the caller's thread, which is the whole
// hand-over between receive thread and control thread. Two silent seconds in a
// row mark the adapter offline for good; the receive thread then re-creates
// the socket once a second until the interface can be opened again. A read
// that fails drops its frame, and the receive thread goes on waiting a few
// milliseconds later: it is not silence.
//
// The interface must already be configured and up; the adapter does not set
// bit rates or link state. Progress and errors are printed on standard output.
class SocketCan : public CanBase {
public:
    SocketCan();
    // Stops the receive thread (whatever the socket state) and closes the socket.
    ~SocketCan() override;
    SocketCan(const SocketCan&) = delete;
    SocketCan& operator=(const SocketCan&) = delete;

    // Opens a raw CAN socket on `interface` (for example "can0"), binds it and
    // starts the receive thread. False, with a message, if the name is null,
    // empty or longer than 15 characters, names no interface, or the socket
    // cannot be created or bound.
    bool Init(const char* interface) override;
    // Writes one 16-byte frame to the socket now, taking no lock. False if no
    // socket is open (with a message) or the write was short or failed.
    bool ExchangeData(CanFrame* frame) override;
    // No-ops kept for the adapter interface; they return true.
    bool WriteData() override;
    bool ReadData() override;
    // True while a socket is open.
    bool IsOpen() override;

    // False once the bus has been silent for two consecutive seconds; stays
    // false for the life of the adapter.
    bool checkOnline();
    // Registers the frame callback, called on the receive thread under the data
    // lock with a pointer valid only during the call. An empty function
    // unregisters it. The callback must not call LoadMutexMsg.
    void setCallBackFunction(std::function<void(CanFrame*)> func);
    // Registers the callback that LoadMutexMsg runs. An empty function
    // unregisters it.
    void setGetMsgContentFunction(std::function<void()> func);
    // Runs the get-message-content callback (if any) under the data lock.
    void LoadMutexMsg();
    // Stops the receive thread and closes the socket. Init may be called again.
    void Close();
    // Why the last failed Init failed, for example "no such interface (No
    // such device)"; empty if none has failed.
    std::string lastError() const;

    // Scheduling of the receive thread, applied whenever Init starts it.
    // Default: what the thread calling Init has.
    void setReceiveThreadSettings(const realtime::ThreadSettings& settings);
    // What the system refused of those settings when the receive thread was
    // last started ("" if nothing).
    std::string receiveThreadRefusals() const;

private:
    class impl;
    std::unique_ptr<impl> pimpl;
};

}  // namespace qel::hw_interface
