// The tests read boxes with the shared host-side reader in isobox/.
#pragma once

#include "isobox/box_reader.h"
