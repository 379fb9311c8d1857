#!/usr/bin/env bash
# The steps of the Windows check (tests/windows/CMakeLists.txt runs each as a test):
#   check.sh build SOURCE_DIR            cross-build tty.dll, Demo.exe and the test programs
#                                        (preset windows)
#   check.sh exports SOURCE_DIR          the export table: the eighteen names at 2-19, nothing
#                                        imported but KERNEL32.dll and msvcrt.dll
#   check.sh zip SOURCE_DIR              the zip for Windows users (CPack), unpacked in
#                                        build-windows/zip/: its files, the programs stripped
#                                        and importing Windows' own DLLs only
#   check.sh wine SOURCE_DIR HELPER      the test program under Wine, in a private /dev
#   check.sh demo SOURCE_DIR HELPER WM_CLOSE
#                                        the zip's Demo.exe and tty.dll under Wine on Xvfb, in
#                                        a private /dev, with a pty as COM2, driven by
#                                        demo_test.sh
# Exits 77 (skipped) where the MinGW compilers or Wine are missing, or (wine) without root.
set -euo pipefail
step=$1
src=$(cd "$2" && pwd)
out=$src/build-windows
dll=$out/bin/tty.dll

need() {
  command -v "$1" >/dev/null || { echo "skipped: $1 is missing (apt-get install $2)"; exit 77; }
}

case $step in
build)
  need x86_64-w64-mingw32-gcc-posix g++-mingw-w64-x86-64
  cd "$src"
  cmake --preset windows >/dev/null
  cmake --build --preset windows
  ;;

exports)
  need x86_64-w64-mingw32-objdump binutils-mingw-w64-x86-64
  dump=$(x86_64-w64-mingw32-objdump -p "$dll")
  fail=0
  name=$(awk '$1 == "Name" && NF == 3 { print $3 }' <<<"$dump")
  [ "$name" = tty.dll ] || { echo "FAIL library name: '$name', want tty.dll"; fail=1; }
  imports=$(awk '/DLL Name:/ { print $3 }' <<<"$dump" | sort | tr '\n' ' ')
  [ "$imports" = "KERNEL32.dll msvcrt.dll " ] || { echo "FAIL imports: $imports"; fail=1; }
  # "[i] +base[n] RVA" gives export number n to slot i; "[i] NAME" names slot i.
  exported=$(awk '
    /^Export Address Table -- Ordinal Base/ { table = "numbers"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { table = "names"; next }
    /^$/ { table = "" }
    table == "numbers" && /\+base\[/ { gsub(/[][+a-z]/, " "); number[$1] = $2 }
    table == "names" { gsub(/[][]/, " "); name[$1] = $2 }
    END { for (i in name) print number[i], name[i] }' <<<"$dump" | sort -n | tr '\n' ' ')
  want="2 IOP_Open 3 IOP_Putc 4 IOP_Getc 5 IOP_Write 6 IOP_Read 7 IOP_DOQ_Count 8 IOP_DIQ_Count \
9 IOP_ResetDOQ 10 IOP_ResetDIQ 11 IOP_SetDTR 12 IOP_SetRTS 13 IOP_Close 14 IOP_Ioctrl \
15 IOP_Flowctrl 16 IOP_GetIoctrl 17 IOP_GetFlowctrl 18 IOP_Status 19 IOP_DataStatus "
  if [ "$exported" != "$want" ]; then
    printf 'FAIL exports:\n  got  %s\n  want %s\n' "$exported" "$want"
    fail=1
  fi
  slots=$(grep -c '+base\[' <<<"$dump")
  [ "$slots" -eq 18 ] || { echo "FAIL $slots export numbers, want 18"; fail=1; }
  [ $fail -eq 0 ] && echo "tty.dll: name, 18 exports at 2-19, imports $imports"
  exit $fail
  ;;

zip)
  need x86_64-w64-mingw32-objdump binutils-mingw-w64-x86-64
  rm -rf "$out/zip"
  cpack --config "$out/CPackConfig.cmake" -B "$out/zip/packages" >"$out/zip.log" 2>&1 ||
    { cat "$out/zip.log"; exit 1; }
  archive=$(echo "$out"/zip/packages/*.zip)
  (cd "$out/zip" && cmake -E tar xf "$archive")
  top=$(basename "$archive" .zip)
  fail=0
  files=$(cd "$out/zip/$top" && find . -type f | sort | tr '\n' ' ')
  want="./README.txt ./bin/Demo.exe ./bin/tty.dll ./include/tty.h ./lib/libtty.dll.a "
  [ "$files" = "$want" ] || { printf 'FAIL files:\n  got  %s\n  want %s\n' "$files" "$want"; fail=1; }
  # Nothing beside them but Windows' own DLLs (Demo.exe loads tty.dll at run time).
  own=" ADVAPI32.dll GDI32.dll KERNEL32.dll USER32.dll msvcrt.dll ole32.dll "
  for program in Demo.exe tty.dll; do
    exe=$out/zip/$top/bin/$program
    [ -f "$exe" ] || continue
    sections=$(x86_64-w64-mingw32-objdump -h "$exe")
    symbols=$(x86_64-w64-mingw32-nm "$exe" 2>&1 || true)
    ! grep -q ' \.debug_' <<<"$sections" || { echo "FAIL $program has debug sections"; fail=1; }
    grep -q 'no symbols' <<<"$symbols" || { echo "FAIL $program has a symbol table"; fail=1; }
    for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }'); do
      [[ $own == *" $dll "* ]] || { echo "FAIL $program imports $dll"; fail=1; }
    done
  done
  [ $fail -eq 0 ] && echo "$top.zip: $files; stripped, importing Windows' own DLLs only"
  exit $fail
  ;;

wine | demo)
  need /usr/lib/wine/wine64 wine64
  if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: Wine runs only in a private /dev, which needs root"
    exit 77
  fi
  helper=$3
  export WINEPREFIX=$out/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  cd "$out/bin"
  log=$out/wine.log # what the wineserver prints (this build dumps its objects at exit)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    "$src/tests/windows/private_dev.sh" /usr/lib/wine/wine64 wineboot --init >"$log" 2>&1 ||
      { cat "$log"; exit 1; }
  fi
  if [ "$step" = wine ]; then
    # COM3 and COM4 are one device; COM5 has none.
    set -- COM3 COM4=COM3 COM9 COM10 -- /usr/lib/wine/wine64 "$out/bin/tty_dll_test.exe"
  else
    app=$(echo "$out"/zip/tty-*/bin)
    set -- COM2 -- "$src/tests/windows/demo_test.sh" "$out/bin" "$out/demo-check" "${4:-}" "$app"
  fi
  exec "$src/tests/windows/private_dev.sh" \
    sh -c '/usr/lib/wine/wineserver64 2>"$0" && exec "$@"' "$log" "$helper" "$WINEPREFIX" "$@"
  ;;
esac
