-- Fiscal classification of the products (NCM and CEST codes) and the
-- approximate tax rates per NCM that the coupon shows. Safe to run again.

CREATE TABLE IF NOT EXISTS PRODFISCAL (
    CDPRODUTO      VARCHAR(10) NOT NULL PRIMARY KEY,
    CDNCM          VARCHAR(10),
    CDCEST         VARCHAR(9)
);

-- Rates in percent of the amount sold; DSFONTEALIQ names where they come from.
CREATE TABLE IF NOT EXISTS ALIQAPROXNCM (
    CDNCM          VARCHAR(10) NOT NULL PRIMARY KEY,
    VRALIQFEDERAL  NUMERIC(7,4) NOT NULL DEFAULT 0,
    VRALIQESTADUAL NUMERIC(7,4) NOT NULL DEFAULT 0,
    DSFONTEALIQ    VARCHAR(60)
);
