/*
 * What every layer reports with: the trace switch, and the end of the
 * process at a failed system call it cannot live with.
 */
#include <stdio.h>
#include <stdlib.h>

#include "brennix.h"

int verbose;

/*
 * Reports a failed system call that the forwarder cannot live with and
 * ends the process with status 1.
 */
void
die(const char *step)
{
	perror(step);
	exit(1);
}
