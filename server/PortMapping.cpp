#include "server/PortMapping.h"

namespace {
PortMapperFactory s_factory = nullptr;
}

PortMapper::~PortMapper() = default;

void SetPortMapperFactory(PortMapperFactory i_factory)
{
    s_factory = i_factory;
}

PortMapperFactory GetPortMapperFactory()
{
    return s_factory;
}
