// Heap allocations counted since the start of the process (memory_shim.cpp).
#pragma once

long long heap_allocations();
