#include "device/reading.h"

#include "device/getdata.h"

reading reading_of(const getdata* conn) { return conn != nullptr ? conn->view() : reading{}; }
