-- Named counters (the day's first coupon number is kept under
-- "CUPINICIAL" + branch + register + date) and receipt types.

CREATE TABLE IF NOT EXISTS NOVOCODIGO (
    CDCONTADOR     VARCHAR(60) NOT NULL PRIMARY KEY,
    NRSEQUENCIAL   VARCHAR(20)
);

CREATE TABLE IF NOT EXISTS TIPORECE (
    CDTIPORECE     VARCHAR(3)  NOT NULL PRIMARY KEY,
    NMTIPORECE     VARCHAR(40)
);
