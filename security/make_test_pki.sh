#!/usr/bin/env bash
# Makes a test PKI for the secured bus, and one Fast DDS profile per program.
#
#   security/make_test_pki.sh [--peer ADDRESS]... [--topic-protection KIND]
#                             OUTDIR [EXTRA_IDENTITY]...
#
# In OUTDIR:
#   identity_ca.pem/.key       CA that signs the programs' identities
#   permissions_ca.pem/.key    CA that signs governance and permissions
#   identities/NAME.pem/.key   one identity per program (ECDSA P-256),
#                              subject "CN=NAME,O=GNC Bench,C=CN"
#   governance.xml/.p7s        domain 0: join access control; discovery,
#                              liveliness and whole RTPS messages encrypted;
#                              read and write access control on the three bus
#                              topics; with KIND ENCRYPT or SIGN their data
#                              and metadata are protected once more per
#                              writer (NONE, the default: whole messages are
#                              already encrypted, and per-topic keys make
#                              Fast DDS warn without end; see
#                              security/README.md)
#   permissions.xml/.p7s       every identity may publish and subscribe
#                              Command, Telemetry and Raw_Telemetry in
#                              domain 0, nothing else
#   profiles/NAME.xml          the program's Fast DDS profile: give it as
#                              FASTDDS_DEFAULT_PROFILES_FILE
#
# The identities are those of the bench's programs (Corvane, the six
# services, linemon) plus any EXTRA_IDENTITY named. Without --peer the
# profiles keep the bus on this host (shared memory and UDP on 127.0.0.1,
# from config/fastdds_secure.xml); with --peer they use UDPv4 only with
# the given addresses as initial peers (config/fastdds_secure_hosts.xml):
# list every bench host, this one included.
#
# Running it again keeps every key and certificate that is still good and
# signs governance and permissions again only when their text changed, so
# profiles and files handed out stay valid. Running it into another OUTDIR
# makes an unrelated PKI (a new CA with the same names), which the first
# one does not trust. The keys are for testing: they are not protected by
# a passphrase.
set -euo pipefail

usage() {
  echo "usage: $0 [--peer ADDRESS]... [--topic-protection ENCRYPT|SIGN|NONE] OUTDIR [EXTRA_IDENTITY]..." >&2
  exit 2
}

peers=()
topic_protection=NONE
while (($#)); do
  case "$1" in
    --peer)
      (($# >= 2)) || usage
      [[ $2 =~ ^[0-9]{1,3}(\.[0-9]{1,3}){3}$ ]] || { echo "not an IPv4 address: $2" >&2; exit 2; }
      peers+=("$2")
      shift 2
      ;;
    --topic-protection)
      (($# >= 2)) || usage
      [[ $2 =~ ^(ENCRYPT|SIGN|NONE)$ ]] || { echo "topic protection is ENCRYPT, SIGN or NONE: $2" >&2; exit 2; }
      topic_protection=$2
      shift 2
      ;;
    --help|-h) usage ;;
    --*) echo "unknown option: $1" >&2; usage ;;
    *) break ;;
  esac
done
(($# >= 1)) || usage

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
config_dir="$here/../config"
if ((${#peers[@]})); then
  template="$config_dir/fastdds_secure_hosts.xml"
else
  template="$config_dir/fastdds_secure.xml"
fi
[[ -r $template ]] || { echo "profile template not found: $template" >&2; exit 1; }
command -v openssl >/dev/null || { echo "openssl is needed (Debian package openssl)" >&2; exit 1; }

mkdir -p "$1"
out=$(cd "$1" && pwd)
shift
if [[ $out == *[\&\<\>\"\']* ]]; then
  echo "OUTDIR must not contain & < > \" or ': it goes into XML files" >&2
  exit 2
fi

identities=(Corvane Brenvik Skardel Tavrin Pellwyn Quimbrel Zentaro linemon)
for name in "$@"; do
  [[ $name =~ ^[A-Za-z0-9_.-]+$ ]] || { echo "identity names are letters, digits, _ . -: $name" >&2; exit 2; }
  [[ " ${identities[*]} " == *" $name "* ]] || identities+=("$name")
done

mkdir -p "$out/identities" "$out/profiles"
chmod 700 "$out/identities"

readonly org="GNC Bench"
readonly days=3650

new_key() {  # path
  (umask 077 && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null)
}

key_matches_cert() {  # key cert
  [[ -s $1 && -s $2 ]] || return 1
  local a b
  a=$(openssl pkey -in "$1" -pubout 2>/dev/null) || return 1
  b=$(openssl x509 -in "$2" -noout -pubkey 2>/dev/null) || return 1
  [[ -n $a && $a == "$b" ]]
}

# A self-signed CA, kept when its key and certificate still belong together.
# digitalSignature: the permissions CA signs the S/MIME documents itself,
# and S/MIME verification (OpenSSL's and Fast DDS's) checks for it.
make_ca() {  # basename common-name
  local key="$out/$1.key" cert="$out/$1.pem"
  if key_matches_cert "$key" "$cert"; then return; fi
  new_key "$key"
  openssl req -x509 -new -key "$key" -sha256 -days "$days" \
    -subj "/C=CN/O=$org/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,digitalSignature,keyCertSign,cRLSign" \
    -out "$cert" 2>/dev/null
  echo "[pki] made $1"
  # Everything the old CA signed is worthless now.
  rm -f "$out"/identities/*.pem "$out/governance.p7s" "$out/permissions.p7s"
}

make_identity() {  # name
  local key="$out/identities/$1.key" cert="$out/identities/$1.pem"
  if key_matches_cert "$key" "$cert" &&
     openssl verify -CAfile "$out/identity_ca.pem" "$cert" >/dev/null 2>&1; then
    return
  fi
  new_key "$key"
  openssl req -new -key "$key" -subj "/C=CN/O=$org/CN=$1" 2>/dev/null |
    openssl x509 -req -CA "$out/identity_ca.pem" -CAkey "$out/identity_ca.key" \
      -set_serial "0x$(openssl rand -hex 8)" -sha256 -days "$days" \
      -extfile <(printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n') \
      -out "$cert" 2>/dev/null
  echo "[pki] made identity $1"
}

# Writes `text` to base.xml and signs it into base.p7s with the permissions
# CA, unless both are there already with this text and a good signature.
sign_document() {  # base text
  local xml="$out/$1.xml" p7s="$out/$1.p7s" text="$2" signed
  if [[ -s $p7s && -s $xml ]] && [[ $(<"$xml") == "$text" ]]; then
    if signed=$(openssl smime -verify -in "$p7s" -CAfile "$out/permissions_ca.pem" -text 2>/dev/null) &&
       [[ $(tr -d '\r' <<<"$signed") == "$text" ]]; then
      return
    fi
  fi
  printf '%s\n' "$text" >"$xml"
  openssl smime -sign -text -in "$xml" -signer "$out/permissions_ca.pem" \
    -inkey "$out/permissions_ca.key" -out "$p7s" 2>/dev/null
  echo "[pki] signed $1"
}

make_ca identity_ca "GNC Bench Identity CA"
make_ca permissions_ca "GNC Bench Permissions CA"
for name in "${identities[@]}"; do make_identity "$name"; done

topic_rule() {  # topic
  cat <<EOF
        <topic_rule>
          <topic_expression>$1</topic_expression>
          <enable_discovery_protection>true</enable_discovery_protection>
          <enable_liveliness_protection>true</enable_liveliness_protection>
          <enable_read_access_control>true</enable_read_access_control>
          <enable_write_access_control>true</enable_write_access_control>
          <metadata_protection_kind>$topic_protection</metadata_protection_kind>
          <data_protection_kind>$topic_protection</data_protection_kind>
        </topic_rule>
EOF
}

bus_topics=(Command Telemetry Raw_Telemetry)

governance=$(
  cat <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<dds xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <domain_access_rules>
    <domain_rule>
      <domains>
        <id>0</id>
      </domains>
      <allow_unauthenticated_participants>false</allow_unauthenticated_participants>
      <enable_join_access_control>true</enable_join_access_control>
      <discovery_protection_kind>ENCRYPT</discovery_protection_kind>
      <liveliness_protection_kind>ENCRYPT</liveliness_protection_kind>
      <rtps_protection_kind>ENCRYPT</rtps_protection_kind>
      <topic_access_rules>
EOF
  for t in "${bus_topics[@]}"; do topic_rule "$t"; done
  cat <<EOF
      </topic_access_rules>
    </domain_rule>
  </domain_access_rules>
</dds>
EOF
)

topic_list() {
  local t
  for t in "${bus_topics[@]}"; do printf '              <topic>%s</topic>\n' "$t"; done
}

permissions=$(
  cat <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<dds xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <permissions>
EOF
  for name in "${identities[@]}"; do
    cat <<EOF
    <grant name="$name">
      <subject_name>CN=$name,O=$org,C=CN</subject_name>
      <validity>
        <not_before>2024-01-01T00:00:00</not_before>
        <not_after>2044-01-01T00:00:00</not_after>
      </validity>
      <allow_rule>
        <domains>
          <id>0</id>
        </domains>
        <publish>
          <topics>
$(topic_list)
          </topics>
          <partitions>
            <partition>*</partition>
          </partitions>
        </publish>
        <subscribe>
          <topics>
$(topic_list)
          </topics>
          <partitions>
            <partition>*</partition>
          </partitions>
        </subscribe>
      </allow_rule>
      <default>DENY</default>
    </grant>
EOF
  done
  cat <<EOF
  </permissions>
</dds>
EOF
)

sign_document governance "$governance"
sign_document permissions "$permissions"

# One profile per identity, from the template.
peer_locators=""
for p in ${peers[@]+"${peers[@]}"}; do
  peer_locators+="            <locator>
              <udpv4>
                <address>$p</address>
              </udpv4>
            </locator>
"
done
peer_locators=${peer_locators%$'\n'}

template_text=$(<"$template")
for name in "${identities[@]}"; do
  text=$template_text
  text=${text//@IDENTITY_CA@/"file://$out/identity_ca.pem"}
  text=${text//@IDENTITY_CERTIFICATE@/"file://$out/identities/$name.pem"}
  text=${text//@PRIVATE_KEY@/"file://$out/identities/$name.key"}
  text=${text//@PERMISSIONS_CA@/"file://$out/permissions_ca.pem"}
  text=${text//@GOVERNANCE@/"file://$out/governance.p7s"}
  text=${text//@PERMISSIONS@/"file://$out/permissions.p7s"}
  text=${text//"            <!-- @INITIAL_PEERS@ -->"/"$peer_locators"}
  profile="$out/profiles/$name.xml"
  if [[ ! -f $profile || $(<"$profile") != "$text" ]]; then
    printf '%s\n' "$text" >"$profile"
  fi
done
echo "[pki] ready: $out (identities: ${identities[*]})"
