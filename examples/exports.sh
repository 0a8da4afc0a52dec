#!/usr/bin/env bash
# Takes a Windows machine's registry exports through lorimex on Linux and
# back. On Windows:
#   reg export "HKU\.DEFAULT\Software\Norvane" default.reg
#   reg export "HKCU\Software\Norvane" user.reg     (fails when the user has
#                                                    no Norvane key: leave it out)
# Here:
#   examples/exports.sh join default.reg [user.reg] >registry.reg
#   LORIMEX_REGISTRY=$PWD/registry.reg build/lorimex
#   examples/exports.sh user registry.reg >import.reg
# and on Windows, as that user: reg import import.reg
#
# join: one version 5 file of both exports, with HKEY_CURRENT_USER\Software,
#   which every Windows registry holds (an export of a key the user lacks
#   does not); user: the current user's Norvane subtree of it, the only part
#   to import (a user who is not an administrator may not write .DEFAULT).
# The files stay UTF-16LE unit for unit, so nothing in them is changed.
set -eu
usage() { echo "usage: exports.sh join DEFAULT.reg [USER.reg] | exports.sh user REGISTRY.reg" >&2; exit 2; }
[ $# -ge 2 ] || usage
case $1 in join | user) ;; *) usage ;; esac
perl -e '
use strict;
use warnings;
no warnings "surrogate";
my $header = "Windows Registry Editor Version 5.00";
# A version 5 export as a string of UTF-16 units (lone surrogates kept),
# without its byte-order mark and header line.
sub body {
  my ($file) = @_;
  open(my $in, "<:raw", $file) or die "exports.sh: $file: $!\n";
  local $/;
  my $bytes = <$in> // "";
  die "exports.sh: $file: not a version 5 export (UTF-16LE)\n"
    unless length($bytes) % 2 == 0 && substr($bytes, 0, 2) eq "\xFF\xFE";
  my $text = join "", map { chr } unpack("v*", substr($bytes, 2));
  $text =~ s/\A\Q$header\E\r?\n// or die "exports.sh: $file: not a version 5 export\n";
  return $text;
}
sub put { binmode STDOUT; print pack("v*", 0xFEFF, map { ord } split //, $header . "\r\n" . $_[0]); }
my ($mode, $file, $user) = @ARGV;
my $text = body($file);
if ($mode eq "join") {
  $text .= "\r\n" unless $text =~ /\n\z/;
  $text .= "\r\n[HKEY_CURRENT_USER\\Software]\r\n";
  $text .= body($user) if defined $user;
  put($text);
} else {
  my ($out, $keep) = ("\r\n", 0);
  for my $line (split /(?<=\n)/, $text) {
    $keep = $line =~ /^\[HKEY_CURRENT_USER\\Software\\Norvane[\\\]]/i if $line =~ /^\[/;
    $out .= $line if $keep;
  }
  put($out);
}
' -- "$@"
