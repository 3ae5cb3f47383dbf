# What this machine offers to run 32-bit x86 programs: natively, or through
# qemu-user as the binfmt_misc interpreter of a private user and mount
# namespace. Sourced by tests/wine/run.sh and scripts/setup.

# The first qemu-user release that runs the 32-bit Wine loader: 7.2 dies in
# the making of a prefix ("uncaught target signal 11").
qemu_least_major=10

# native_32_bit_failure PROGRAM: nothing when PROGRAM (a 32-bit one) runs
# natively, else the cause observed, e.g. "Exec format error".
native_32_bit_failure() {
    local output
    # Called by bash itself, which reports a binary the kernel refuses; execvp
    # (as in timeout or env) would hand it to the shell as a script instead.
    if ! output=$("$1" --version 2>&1); then
        if grep -q "Exec format error" <<<"$output"; then
            echo "Exec format error"
        else
            tail -n 1 <<<"$output"
        fi
    fi
}

# qemu_i386: the path of the installed qemu-i386, nothing if there is none.
qemu_i386() {
    local name path
    for name in qemu-i386 qemu-i386-static; do
        # command -v names a file that cannot be executed when no other is found.
        path=$(command -v "$name") && [[ -x $path ]] && { echo "$path"; return 0; }
    done
    return 0
}

# qemu_major QEMU: the major version of that qemu-user, 0 if it tells none.
qemu_major() {
    local major
    major=$("$1" --version 2>/dev/null | sed -n '1s/.* version \([0-9]*\)\..*/\1/p')
    echo "${major:-0}"
}

# The i386 ELF header, executables and shared objects alike (the mask lets
# e_type be 2 or 3), as qemu's own binfmt configuration gives it.
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# register_qemu_i386 QEMU: inside a user and mount namespace of our own (Linux
# 6.7 and later), mounts a binfmt_misc instance of its own and makes QEMU the
# interpreter of i386 programs. Flag F opens QEMU now, so that it is found
# whatever the program's root or mounts; the machine's own binfmt_misc is not
# touched.
register_qemu_i386() {
    local misc=/proc/sys/fs/binfmt_misc
    mount -t binfmt_misc binfmt_misc "$misc" || return 1
    printf ':kovra-i386:M::%s:%s:%s:F\n' "$i386_magic" "$i386_mask" "$1" >"$misc/register"
}
