#include "sim/ControllerSim.h"
