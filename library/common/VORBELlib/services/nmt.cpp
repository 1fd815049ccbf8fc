// NMT commands and the command properties.
#include "D_vorbel.h"

void D_canint::read() {}

void D_canint::set_value(int i) { telvo::D_value<int>::set_value(i); }

void D_canactive::read() {}
