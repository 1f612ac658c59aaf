#include "Morv/NetworkType.h"

namespace Morv {

void PyxNetworkType::normalizeNodeType(MSG_CmdHdr& header) const
{
    header.senderNodeType = static_cast<std::uint16_t>(header.senderNodeType & 0x7FFF);
}

bool PyxNetworkType::isFrameNodeType(const MSG_CmdHdr& header) const
{
    return header.senderNodeType == 5 || header.senderNodeType == 8;
}

} // namespace Morv
