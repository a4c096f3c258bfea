#pragma once

// An in-process stand-in for the kernel's virtual CAN interfaces, for test
// executables that must run where no CAN stack exists, notably under the
// sanitizers (whose runtimes cannot start inside the user-mode kernel that
// provides vcan to the other bus tests).
//
// Linking this into a test executable replaces socket(), bind() and ioctl()
// for the CAN protocol family only: a raw CAN socket becomes one end of a
// local packet socket pair, SIOCGIFINDEX knows "vcan0" and "vcan1", and a hub
// thread delivers every frame written on an interface to every other socket
// bound to it, as vcan does (a socket does not receive its own frames, and
// receive filters apply). Every
// other socket call goes to the real implementation. The adapter, drivers,
// controller and virtual arm run unchanged on top of it.

namespace qel::test {

// True when the executable runs on the in-process bus. Calling it also makes
// sure the linker keeps the replacement functions.
bool usingInProcessCanBus();

}  // namespace qel::test
