/* A shared library without the serial functions: what the binding meets when the file at
 * the library's path is not the library it expects. */
__attribute__((visibility("default"))) int not_a_serial_function(void) { return 0; }
