#include "e2e_fixture.h"
