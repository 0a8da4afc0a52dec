#ifndef LORIMEX_APP_UPDATE_H
#define LORIMEX_APP_UPDATE_H

// Copies the product's settings from the default user to the current user
// and reports on standard output. Returns the exit status: 0 when every step
// succeeded, 1 when any error line was written.
int RunUpdate();

#endif
