/* The floor of a start: a static C program that does nothing, timed in the same loop as deltree
   so that the cost of starting any process on this machine is seen beside deltree's own. */
int main(void) { return 0; }
