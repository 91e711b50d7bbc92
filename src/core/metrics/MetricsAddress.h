#pragma once

#include <QString>

// Where the metrics endpoint listens: a numeric IPv4 or IPv6 address and a port (0: one the
// system picks, which the endpoint then reports).
struct CMetricsAddress
{
    QString m_Host; // numeric, without brackets: "127.0.0.1", "::1", "0.0.0.0"
    bool m_bIpv6 = false;
    int m_Port = 0;

    // Only the machine itself can connect: 127.0.0.0/8, ::1 or an IPv4-mapped loopback.
    bool IsLoopback() const;
    // "127.0.0.1:9100", "[::1]:9100": as the address is written back to the user.
    QString ToString() const;
};

// Reads "ADDRESS:PORT", ":PORT" or a bare "PORT" (both of the latter on 127.0.0.1);
// "localhost" stands for 127.0.0.1 and an IPv6 address goes in brackets ("[::1]:9100").
// Host names are refused: the address must not depend on what a name server answers at the
// start of a service. False with the reason otherwise.
bool ParseMetricsAddress(const QString& text, CMetricsAddress& address, QString* error);
