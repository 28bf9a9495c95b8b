#!/bin/bash
# Builds the libraries the wheel's modules link (oneTBB, ISA-L, the NIfTI
# library with znz, zlib) as static archives with Zig's clang for x86_64 glibc
# 2.28, so that each module is one self-contained file that runs on any Linux
# from RHEL 8 on. Sources are Debian 12's source packages, fetched with
# apt-get into a private list (the machine's apt configuration is not touched).
#
# Usage: build_deps.sh PREFIX_DIR PYTHON (PYTHON has the ziglang package)
# Everything lives under the folder of PREFIX_DIR; each library already in the
# prefix is kept, so a failed run resumes where it stopped.
set -euo pipefail
# Compiler chatter goes to build/deps/build.log; a failing step says where.
trap 'echo "build_deps.sh failed; see $top/build.log"' ERR

prefix=$(realpath -m "$1")
python=$(realpath -s "$2")
top=$(dirname "$prefix")
jobs=${JOBS:-1}
target=x86_64-linux-gnu.2.28
if [ -f "$prefix/.complete" ]; then exit 0; fi
mkdir -p "$top"
exec 2>"$top/build.log"
mkdir -p "$top/bin" "$top/src" "$top/apt/lists/partial" "$top/apt/cache/archives/partial" "$prefix"

# The compilers: Zig's clang for the chosen C library, with contraction off as
# in the project's own build.
for tool in cc c++; do
  cat > "$top/bin/zig-$tool" <<WRAP
#!/bin/sh
exec "$python" -m ziglang $tool -target $target -ffp-contract=off -Wno-date-time "\$@"
WRAP
  chmod +x "$top/bin/zig-$tool"
done
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$python" "$tool" > "$top/bin/zig-$tool"
  chmod +x "$top/bin/zig-$tool"
done
CC="$top/bin/zig-cc"
CXX="$top/bin/zig-c++"
AR="$top/bin/zig-ar"
RANLIB="$top/bin/zig-ranlib"

apt_opts=(-o "Dir::Etc::SourceList=$top/apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
          -o "Dir::State::Lists=$top/apt/lists" -o "Dir::Cache=$top/apt/cache")
cd "$top/src"
if ! ls onetbb_*.orig.tar.* libisal_*.orig.tar.* nifticlib_*.orig.tar.* zlib_*.orig.tar.* >/dev/null 2>&1; then
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
    > "$top/apt/sources.list"
  apt-get "${apt_opts[@]}" -qq update
  apt-get "${apt_opts[@]}" -qq source --download-only onetbb libisal nifticlib zlib
fi
unpack() {  # the one folder an orig tarball makes
  rm -rf "unpacked-$1" && mkdir "unpacked-$1" && tar -C "unpacked-$1" -xf "$(ls "$1"_*.orig.tar.*)"
  echo "$top/src/unpacked-$1/$(ls "unpacked-$1")"
}
cmake_build() {  # source folder, build folder, extra definitions...
  local src=$1 build=$2
  shift 2
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER="$CC" \
    -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_AR="$AR" -DCMAKE_RANLIB="$RANLIB" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF "$@" >/dev/null
  cmake --build "$build" -j "$jobs" >/dev/null
  cmake --install "$build" >/dev/null
}

have() { [ -f "$prefix/lib/$1" ]; }

have libz.a || {
echo "zlib"
src=$(unpack zlib)
(cd "$src" && CC="$CC" AR="$AR" RANLIB="$RANLIB" CFLAGS="-O2 -fPIC" ./configure --static --prefix="$prefix" >/dev/null \
  && make -j "$jobs" libz.a >/dev/null && make install >/dev/null)
}

have libniftiio.a || {
echo "NIfTI (niftiio, znz)"
src=$(unpack nifticlib)
cmake_build "$src" "$top/build-nifti" -DNIFTI_BUILD_APPLICATIONS=OFF -DUSE_NIFTICDF_CODE=OFF -DUSE_CIFTI_CODE=OFF \
  -DUSE_FSL_CODE=OFF -DNIFTI_BUILD_TESTING=OFF -DBUILD_TESTING=OFF -DNIFTI_SYSTEM_MATH_LIB=m -DZLIB_ROOT="$prefix" \
  -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include" -DCMAKE_C_FLAGS="-I$prefix/include"
}

have libisal.a || {
echo "ISA-L"
src=$(unpack libisal)
(cd "$src" && make -f Makefile.unx -j "$jobs" CC="$CC" AS=nasm AR="$AR" lib >/dev/null \
  && mkdir -p "$prefix/include/isa-l" && cp include/*.h "$prefix/include/isa-l/" \
  && cp bin/isa-l.a "$prefix/lib/libisal.a")
}

have libtbb.a || {
echo "oneTBB"
src=$(unpack onetbb)
cmake_build "$src" "$top/build-tbb" -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF \
  -DTBB_ENABLE_IPO=OFF -DCMAKE_POLICY_VERSION_MINIMUM=3.5
}

# The header-only nlohmann/json, copied with its CMake package so that the
# build never puts the machine's /usr/include (a newer C library's headers)
# on the include path.
mkdir -p "$prefix/include" "$prefix/share/cmake"
cp -r /usr/include/nlohmann "$prefix/include/"
cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"
touch "$prefix/.complete"
echo "dependencies in $prefix"
