#!/usr/bin/env bash
# Prepares the full-system guest that runs the 32-bit Windows suites on a
# machine whose kernel refuses to execute 32-bit programs: Debian's own amd64
# kernel, unpacked from its package (never installed), and a small busybox
# initramfs with the modules for virtio, 9p and overlayfs. Everything lands in
# build/guest32/ (or the folder given); an up-to-date guest is left alone.
#
# The guest runs this machine's own root file system read-only over 9p, with a
# throw-away writable layer in guest memory, and the build tree writable at its
# own path (see scripts/run32.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
dest=${1:-$PWD/build/guest32}
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

# The init script is part of the initramfs: a change to it makes a new one.
init_src=$PWD/scripts/guest32-init.sh
stamp_want="$(cat "$init_src" "$0" | sha256sum | cut -c1-16)"
if [ -f "$dest/vmlinuz" ] && [ -f "$dest/initramfs.gz" ] && [ "$(cat "$dest/stamp" 2>/dev/null)" = "$stamp_want" ]; then
  exit 0
fi

busybox=/bin/busybox
[ -x "$busybox" ] && "$busybox" --list | grep -x cpio >/dev/null || { echo "setup-guest32: busybox-static is missing" >&2; exit 1; }

work=$(mktemp -d "$dest/.setup.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The kernel: the metapackage names the versioned image package it depends on.
echo "setup-guest32: downloading Debian's amd64 kernel package"
(cd "$work" && apt-get download -q linux-image-amd64 >/dev/null 2>&1) || {
  apt-get update -qq && (cd "$work" && apt-get download -q linux-image-amd64 >/dev/null 2>&1); }
meta=$(ls "$work"/linux-image-amd64_*.deb)
image_pkg=$(dpkg-deb -f "$meta" Depends | tr ',' '\n' | sed -n 's/^ *\(linux-image-[0-9][^ ]*\).*/\1/p' | head -1)
[ -n "$image_pkg" ] || { echo "setup-guest32: cannot tell the kernel package from $meta" >&2; exit 1; }
(cd "$work" && apt-get download -q "$image_pkg" >/dev/null 2>&1)
dpkg-deb -x "$work/$image_pkg"_*.deb "$work/kernel"
kver=$(ls "$work/kernel/lib/modules")
kmods="$work/kernel/lib/modules/$kver"

# The initramfs: busybox, the init script, and the modules (with everything
# they depend on, dependencies first) that Debian builds as modules.
root=$work/initramfs
mkdir -p "$root"/{bin,dev,proc,sys,lower,rw,newroot,modules}
cp "$busybox" "$root/bin/busybox"
cp "$init_src" "$root/init"
chmod 755 "$root/init"
declare -A loaded=()
order=()
add_module() {
  local name=$1 file dep
  [ -n "${loaded[$name]:-}" ] && return 0
  loaded[$name]=1
  # Built into the kernel: nothing to load.
  grep -q "/$name.ko\$" "$kmods/modules.builtin" 2>/dev/null && return 0
  file=$(find "$kmods/kernel" -name "$name.ko" -print -quit)
  if [ -z "$file" ]; then
    file=$(find "$kmods/kernel" -name "${name//_/-}.ko" -print -quit)
  fi
  [ -n "$file" ] || { echo "setup-guest32: module $name is neither built in nor shipped" >&2; exit 1; }
  for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
    add_module "$dep"
  done
  cp "$file" "$root/modules/"
  order+=("$(basename "$file" .ko)")
}
for m in virtio_pci 9pnet_virtio 9p overlay; do add_module "$m"; done
printf '%s\n' "${order[@]}" >"$root/modules/order"

(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) | gzip -6 >"$work/initramfs.gz"
cp "$work/kernel/boot/vmlinuz-$kver" "$work/vmlinuz"
mv -f "$work/vmlinuz" "$dest/vmlinuz"
mv -f "$work/initramfs.gz" "$dest/initramfs.gz"
echo "$kver" >"$dest/kernel-version"
echo "$stamp_want" >"$dest/stamp"
echo "setup-guest32: kernel $kver, modules: ${order[*]}"
