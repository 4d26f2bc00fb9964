// How the bytes of the input are to be read: ptseg::Encoding, from the
// public interface.
#pragma once

#include "ptseg/ptseg.h"
