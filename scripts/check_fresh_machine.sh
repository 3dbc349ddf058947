#!/usr/bin/env bash
# Tries the README's two commands as a new user would, on a Debian 12 system that has never
# seen the project: a minimal root made with mmdebstrap (--variant=apt) in a temporary folder,
# a clean clone of this repository's HEAD (uncommitted changes stay out) beside a copy of
# ../shared, then `bash scripts/run.sh` and `bash scripts/test.sh` as root in a chroot.
# Prints the first failing step with the tail of its log, or one closing line when both pass;
# the step logs are kept. Needs root and mmdebstrap (Debian package); takes many minutes, so
# it is not part of CI.
#   scripts/check_fresh_machine.sh
set -euo pipefail

repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
name=$(basename "$repo")
shared="$repo/../shared"
suite=bookworm
tail_lines=60

if [ "$(id -u)" != 0 ]; then
  echo "check_fresh_machine: needs root (mmdebstrap, chroot and mounts)" >&2
  exit 2
fi
command -v mmdebstrap >/dev/null || { echo "check_fresh_machine: needs mmdebstrap" >&2; exit 2; }
[ -d "$shared" ] || { echo "check_fresh_machine: $shared is missing" >&2; exit 2; }
head=$(git -C "$repo" rev-parse HEAD)

work=$(mktemp -d "${TMPDIR:-/tmp}/vexa-fresh.XXXXXX")
logs=$(mktemp -d "${TMPDIR:-/tmp}/vexa-fresh-logs.XXXXXX")
root="$work/root"
step_pid=""

# Every process whose root is the chroot was started here; end them before unmounting.
kill_chroot_processes() {
  local link pid target
  for link in /proc/[0-9]*/root; do
    target=$(readlink "$link" 2>/dev/null) || continue
    if [ "$target" = "$root" ] || [[ $target == "$root/"* ]]; then
      pid=${link#/proc/}
      kill -KILL "${pid%/root}" 2>/dev/null || true
    fi
  done
}

mounts_under_work() {
  awk -v w="$work" '$5 == w || index($5, w "/") == 1 { print $5 }' /proc/self/mountinfo |
    sort -r
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  # A step runs in its own process group: end all of it (mmdebstrap undoes its own mounts on
  # TERM), then whatever still runs inside the chroot.
  if [ -n "$step_pid" ]; then
    kill -TERM -- "-$step_pid" 2>/dev/null || true
    local i
    for i in 1 2 3 4 5 6 7 8 9 10; do
      kill -0 -- "-$step_pid" 2>/dev/null || break
      sleep 1
    done
    kill -KILL -- "-$step_pid" 2>/dev/null || true
  fi
  kill_chroot_processes
  sleep 1
  local m
  for m in $(mounts_under_work); do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
  done
  # Never delete through a mount that is still there (a bound /dev would go with it).
  if [ -n "$(mounts_under_work)" ]; then
    echo "check_fresh_machine: could not unmount everything under $work; left in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'echo "check_fresh_machine: interrupted" >&2; exit 130' INT TERM

started=$(date +%s)
elapsed() { local s=$(($(date +%s) - $1)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

# run_step LOG STEP COMMAND...: runs one step with its output in LOG.log. The step runs in the
# background, in a process group of its own (job control on for the launch), so that an
# interrupt reaches the trap at once rather than after the step, and the trap can end it whole.
run_step() {
  local log="$logs/$1.log" step=$2 status t0
  shift 2
  t0=$(date +%s)
  echo "check_fresh_machine: $step ..."
  set -m
  "$@" >"$log" 2>&1 </dev/null &
  step_pid=$!
  set +m
  status=0
  wait "$step_pid" || status=$?
  step_pid=""
  if [ "$status" != 0 ]; then
    echo "check_fresh_machine: FAILED at step '$step' (exit $status after $(elapsed "$t0"))"
    echo "----- last $tail_lines lines of $log -----"
    tail -n "$tail_lines" "$log"
    echo "-----"
    exit 1
  fi
  echo "check_fresh_machine: $step passed ($(elapsed "$t0"))"
}

# The host's apt proxy settings, if any, come along: the downloads take the same way out.
aptopts=()
while IFS= read -r line; do
  aptopts+=(--aptopt="$line")
done < <(apt-config dump 2>/dev/null | grep -iE '^Acquire::[a-z]+::Proxy' || true)

bootstrap() {
  mmdebstrap --variant=apt --mode=root "${aptopts[@]}" "$suite" "$root"
}

prepare() {
  # A clean clone: only what is committed at HEAD.
  git clone --quiet --no-checkout "$repo" "$root/work/$name"
  git -C "$root/work/$name" checkout --quiet --detach "$head"
  mkdir -p "$root/work/shared"
  cp -a "$shared/." "$root/work/shared/"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  # Downloads may pass through a proxy with its own authority: the host's own authorities go
  # where Debian's ca-certificates picks them up once the setup installs it.
  mkdir -p "$root/usr/local/share/ca-certificates"
  if [ -d /usr/local/share/ca-certificates ] &&
     [ -n "$(ls -A /usr/local/share/ca-certificates)" ]; then
    cp -a /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
  elif [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    cp /etc/ssl/certs/ca-certificates.crt "$root/usr/local/share/ca-certificates/host-bundle.crt"
  fi
  mount -t proc proc "$root/proc"
  mount --bind /sys "$root/sys"
  mount --make-private "$root/sys"
  mount -o remount,bind,ro "$root/sys"
  mount --bind /dev "$root/dev"
  mount --make-private "$root/dev"
  mkdir -p "$root/dev/pts" "$root/dev/shm"
  mount --bind /dev/pts "$root/dev/pts"
  mount --make-private "$root/dev/pts"
  mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
}

# A login-like environment: nothing of this shell's, except the way out to the network (proxy
# variables) and the variables that point programs at the trusted authorities.
chroot_env=(HOME=/root LANG=C.UTF-8 TERM=dumb
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
for v in http_proxy https_proxy ftp_proxy no_proxy all_proxy \
         HTTP_PROXY HTTPS_PROXY FTP_PROXY NO_PROXY ALL_PROXY; do
  if [ -n "${!v:-}" ]; then chroot_env+=("$v=${!v}"); fi
done
for v in NODE_EXTRA_CA_CERTS SSL_CERT_FILE SSL_CERT_DIR CURL_CA_BUNDLE REQUESTS_CA_BUNDLE \
         GIT_SSL_CAINFO; do
  if [[ ${!v:-} == /etc/ssl/* ]]; then chroot_env+=("$v=${!v}"); fi
done

in_chroot() {
  chroot "$root" /usr/bin/env -i "${chroot_env[@]}" /bin/bash -c "cd /work/$name && $1"
}

echo "check_fresh_machine: $name at ${head:0:12} on a minimal Debian 12 root in $work; logs in $logs"
run_step 1-bootstrap "bootstrap (mmdebstrap --variant=apt $suite)" bootstrap
run_step 2-prepare "copy the clone, ../shared and the host's authorities; mount" prepare
run_step 3-run "bash scripts/run.sh" in_chroot "bash scripts/run.sh"
run_step 4-test "bash scripts/test.sh" in_chroot "bash scripts/test.sh"
# A test that skips itself (for want of a package, say) passes quietly: name those.
skipped=$(grep -E '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$logs/4-test.log" |
          sed -E 's/^[[:space:]]+[0-9]+ - //; s/ \(Skipped\)$//' | sort -u | tr '\n' ' ' || true)
if [ -n "$skipped" ]; then echo "check_fresh_machine: skipped tests: $skipped"; fi
echo "check_fresh_machine: both README commands passed on a fresh Debian 12 root ($(elapsed "$started"))"
