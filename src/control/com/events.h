// The connection point of the control's event interface _DQelCommEvents.
// The interface is empty, so nothing is ever fired; the point exists so
// that hosts which connect to every control's default source succeed.
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace qelcomm::com {

// A new point owned by `container`, which it refers to without a reference
// (the container holds the point, not the other way round).
HRESULT CreateEventPoint(IConnectionPointContainer* container, IConnectionPoint** out);

// Called by the container as it goes: the point forgets it and lets go of
// its sinks, since no event can reach them any more.
void DetachEventPoint(IConnectionPoint* point);

}  // namespace qelcomm::com
