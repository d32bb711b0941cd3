#include "CNetwork.h"

CNetwork::CNetwork(SessionContext* s) : session(s) {}
CNetwork::~CNetwork() = default;
void CNetwork::Send(const uint8_t*, uint32_t) {}
