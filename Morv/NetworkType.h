#pragma once

#include "Morv/Wire.h"

#include <cstdint>

namespace Morv {

// One family of devices as the library needs to know it: the node type this
// program writes, how to recognise a frame's node type, and the UDP ports.
// All operations are constant and thread-safe.
class NetworkType {
public:
    explicit NetworkType(bool dynamicPorts) : dynamicPorts(dynamicPorts) {}
    virtual ~NetworkType() = default;

    virtual std::uint16_t nodeType() const = 0;
    // Clears the flag bit 15 of the sender node type.
    virtual void normalizeNodeType(MSG_CmdHdr& header) const = 0;
    // True when the sender node type is a frame's (5 or 8, compared as it stands).
    virtual bool isFrameNodeType(const MSG_CmdHdr& header) const = 0;
    virtual std::uint16_t localPort() const = 0;
    virtual std::uint16_t remotePort() const = 0;

    // With dynamic ports the engine binds port 0 and addresses frames on 6016.
    const bool dynamicPorts;
};

constexpr std::uint16_t DYNAMIC_REMOTE_PORT = 6016;

class PyxNetworkType : public NetworkType {
public:
    PyxNetworkType() : NetworkType(false) {}
    std::uint16_t nodeType() const override { return 6; }
    void normalizeNodeType(MSG_CmdHdr& header) const override;
    bool isFrameNodeType(const MSG_CmdHdr& header) const override;
    std::uint16_t localPort() const override { return 6004; }
    std::uint16_t remotePort() const override { return 6000; }
};

// KIV-speaking frames: header rules from the wrapped type, ports of their own.
class KivNetworkType : public NetworkType {
public:
    // `inner` is not owned and must outlive this object.
    KivNetworkType(bool dynamicPorts, const NetworkType* inner) : NetworkType(dynamicPorts), inner(inner) {}
    std::uint16_t nodeType() const override { return inner->nodeType(); }
    void normalizeNodeType(MSG_CmdHdr& header) const override { inner->normalizeNodeType(header); }
    bool isFrameNodeType(const MSG_CmdHdr& header) const override { return inner->isFrameNodeType(header); }
    std::uint16_t localPort() const override { return 6004; }
    std::uint16_t remotePort() const override { return 6015; }

private:
    const NetworkType* inner;
};

// The ports the engine uses with a network type: (remote, local).
inline std::uint16_t engineRemotePort(const NetworkType& type)
{
    return type.dynamicPorts ? DYNAMIC_REMOTE_PORT : type.remotePort();
}
inline std::uint16_t engineLocalPort(const NetworkType& type)
{
    return type.dynamicPorts ? 0 : type.localPort();
}

} // namespace Morv
