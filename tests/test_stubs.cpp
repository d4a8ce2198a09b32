// The unit tests link the modules without start-up: these stand in for
// what start-up defines.
#include <stdio.h>
#include <stdlib.h>

#include "brennix.h"

int verbose = 0;

void
die(const char *step)
{
	perror(step);
	exit(1);
}
