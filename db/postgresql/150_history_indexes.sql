-- Indexes that keep the consumption query's cost tied to the consumer's own
-- sales, however long the branch's history grows: the sales index answers
-- every equality of the query (consumer, client, branch, state, day or
-- month) and holds the keys of the items, the items index holds every value
-- the sums read, so both lookups can be answered from the indexes alone.
-- Safe to run again.

CREATE INDEX IF NOT EXISTS IX_VENDA_CONSUMO
    ON VENDA (CDCONSUMIDOR, CDCLIENTE, CDFILIAL, IDSITUVENDA, DTENTRVENDA, CDCAIXA, NRSEQVENDA);

CREATE INDEX IF NOT EXISTS IX_ITEMVENDA_VALORES
    ON ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, QTPRODVEND, VRUNITVEND, VRACRITVEND, VRDESITVEND);

-- The consumption index starts with the consumer, client and branch, as the
-- former IX_VENDA_CONSUMIDOR did, and serves every query that one served: a
-- sale writes one index less. Stations made before lose the old one here.
DROP INDEX IF EXISTS IX_VENDA_CONSUMIDOR;
