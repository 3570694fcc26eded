-- Indexes that keep the consumption query's cost tied to the consumer's own
-- sales, however long the branch's history grows, whether or not statistics
-- were ever gathered. Safe to run again.
--
-- Without statistics SQLite guesses that any equality on the first column of
-- an index leaves about ten rows, so the branch code alone looks as selective
-- as the consumer's codes, and the query would walk every item of the branch.
-- The sales index below answers every equality of the query (consumer,
-- client, branch, state, day or month) and holds the keys of the items, the
-- items index holds every value the sums read: with both the query reads the
-- consumer's sales and their items from the indexes alone, which the planner
-- also prefers without statistics.

CREATE INDEX IF NOT EXISTS IX_VENDA_CONSUMO
    ON VENDA (CDCONSUMIDOR, CDCLIENTE, CDFILIAL, IDSITUVENDA, DTENTRVENDA, CDCAIXA, NRSEQVENDA);

CREATE INDEX IF NOT EXISTS IX_ITEMVENDA_VALORES
    ON ITEMVENDA (CDFILIAL, CDCAIXA, NRSEQVENDA, QTPRODVEND, VRUNITVEND, VRACRITVEND, VRDESITVEND);

-- The consumption index starts with the consumer, client and branch, as the
-- former IX_VENDA_CONSUMIDOR did, and serves every query that one served: a
-- sale writes one index less. Stations made before lose the old one here.
DROP INDEX IF EXISTS IX_VENDA_CONSUMIDOR;
