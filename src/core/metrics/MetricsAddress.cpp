#include "core/metrics/MetricsAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

bool ParsePort(const QString& text, int& port)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    port = text.toInt();
    return port <= 65535;
}

bool Fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

bool CMetricsAddress::IsLoopback() const
{
    const QByteArray host = m_Host.toLatin1();
    if (m_bIpv6) {
        in6_addr address {};
        if (inet_pton(AF_INET6, host.constData(), &address) != 1)
            return false;
        if (IN6_IS_ADDR_LOOPBACK(&address))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
    }
    in_addr address {};
    return inet_pton(AF_INET, host.constData(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

QString CMetricsAddress::ToString() const
{
    return (m_bIpv6 ? u'[' + m_Host + u']' : m_Host) + u':' + QString::number(m_Port);
}

bool ParseMetricsAddress(const QString& text, CMetricsAddress& address, QString* error)
{
    const QString trimmed = text.trimmed();
    const QString expected = QStringLiteral(" (expected ADDRESS:PORT, :PORT or PORT, such as 127.0.0.1:9100)");
    QString host;
    QString port;
    bool bracketed = false;
    if (trimmed.startsWith(u'[')) {
        const qsizetype close = trimmed.indexOf(u']');
        if (close < 0 || close + 1 >= trimmed.size() || trimmed.at(close + 1) != u':')
            return Fail(error, QStringLiteral("'%1' is not an address and port%2").arg(trimmed, expected));
        host = trimmed.mid(1, close - 1);
        port = trimmed.mid(close + 2);
        bracketed = true;
    } else if (const qsizetype colon = trimmed.lastIndexOf(u':'); colon >= 0) {
        host = trimmed.left(colon);
        port = trimmed.mid(colon + 1);
        if (host.contains(u':'))
            return Fail(error,
                        QStringLiteral("'%1': an IPv6 address goes in brackets, such as [::1]:9100").arg(trimmed));
    } else {
        port = trimmed;
    }
    CMetricsAddress parsed;
    if (!ParsePort(port, parsed.m_Port))
        return Fail(error, QStringLiteral("'%1' has no port number from 0 to 65535%2").arg(trimmed, expected));
    if (host.isEmpty() && !bracketed)
        host = QStringLiteral("127.0.0.1");
    else if (!bracketed && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    const QByteArray latin = host.toLatin1();
    in6_addr v6 {};
    in_addr v4 {};
    if (bracketed && inet_pton(AF_INET6, latin.constData(), &v6) == 1) {
        parsed.m_bIpv6 = true;
    } else if (!bracketed && inet_pton(AF_INET, latin.constData(), &v4) == 1) {
        parsed.m_bIpv6 = false;
    } else {
        return Fail(error,
                    QStringLiteral("'%1' is not a numeric IPv4 address or a bracketed IPv6 address (host "
                                   "names other than localhost are not looked up)")
                        .arg(host));
    }
    // Written back in the library's own spelling, so that a message names it as the system does.
    char spelled[INET6_ADDRSTRLEN] = {};
    if (parsed.m_bIpv6)
        inet_ntop(AF_INET6, &v6, spelled, sizeof spelled);
    else
        inet_ntop(AF_INET, &v4, spelled, sizeof spelled);
    parsed.m_Host = QString::fromLatin1(spelled);
    address = parsed;
    return true;
}
