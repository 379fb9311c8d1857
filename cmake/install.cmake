# Install rules and the package files (pkg-config, CMake package, desktop entry).
