# Sourced by run.sh and test.sh: installs the Debian 12 packages the project needs.
# Installs only what is missing, and only as root; otherwise names what to install.
# ensure_packages [more packages...]

TTY_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev fonts-dejavu-core)
# Only the tests need the test frameworks, drive Demo under a real X server, run the library in
# a virtual machine, serve remote ports with ser2net, and build and check the Debian packages
# (dpkg-shlibdeps and file for CPack, lintian).
TTY_TEST_PACKAGES=(libgtest-dev libgmock-dev xvfb xauth xdotool xclip imagemagick libx11-dev
  qemu-system-x86 busybox-static cpio ser2net dpkg-dev file lintian)
# The Windows check: tty.dll cross-built and run under Wine (about 1.5 GB installed).
TTY_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64)

ensure_packages() {
  local missing=() p
  for p in "${TTY_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q --no-install-recommends "${missing[@]}" ||
    { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; }
}
