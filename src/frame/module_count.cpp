#include "frame/module_count.h"

platform::AtomicCount ModuleObjectCount{0};
